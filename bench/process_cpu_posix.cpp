// Linux keeps per-process CPU times in /proc/<pid>/stat; other POSIX systems have no such file
// and report nothing.
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "process_cpu.h"

namespace kcs::bench {

std::optional<double> processCpuSeconds(std::uint32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  // The command name in parentheses may hold blanks; the fields after it are plain numbers.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  // After the name: state (3), then fields 4 to 13, then utime (14) and stime (15).
  std::string skipped;
  for (int field = 3; field <= 13; ++field) fields >> skipped;
  unsigned long long userTicks = 0, systemTicks = 0;
  if (!(fields >> userTicks >> systemTicks)) return std::nullopt;
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (ticksPerSecond <= 0) return std::nullopt;
  return static_cast<double>(userTicks + systemTicks) / static_cast<double>(ticksPerSecond);
}

}  // namespace kcs::bench
