// Linux reports the resident size as the VmRSS line of /proc/<pid>/status; other POSIX systems
// have no such file and report nothing.
#include <fstream>
#include <string>

#include "process_memory.h"

namespace kcs::bench {

std::optional<std::uint64_t> residentKiB(std::uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace kcs::bench
