// The memory of another process, as the system reports it, for tests that bound the service's.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace kcs::testing {

// The resident size of a process in KiB, from /proc/<pid>/status; nothing when it cannot be read.
inline std::optional<long> residentKiB(std::uint32_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace kcs::testing
