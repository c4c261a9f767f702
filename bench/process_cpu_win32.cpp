#include <windows.h>

#include "process_cpu.h"

namespace kcs::bench {

std::optional<double> processCpuSeconds(std::uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  FILETIME created, exited, kernel, user;
  const BOOL ok = ::GetProcessTimes(process, &created, &exited, &kernel, &user);
  ::CloseHandle(process);
  if (!ok) return std::nullopt;
  auto seconds = [](const FILETIME& time) {
    const ULONGLONG units = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(units) / 1e7;  // 100 ns units
  };
  return seconds(kernel) + seconds(user);
}

}  // namespace kcs::bench
