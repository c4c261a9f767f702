// Windows reports the resident size as the process's working set.
#include <windows.h>
#include <psapi.h>

#include "process_memory.h"

namespace kcs::bench {

std::optional<std::uint64_t> residentKiB(std::uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return std::nullopt;
  PROCESS_MEMORY_COUNTERS counters{};
  const BOOL got = K32GetProcessMemoryInfo(process, &counters, sizeof(counters));
  CloseHandle(process);
  if (!got) return std::nullopt;
  return counters.WorkingSetSize / 1024;
}

}  // namespace kcs::bench
