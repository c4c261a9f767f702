// The memory of another process, as the system reports it, for tests that bound the service's.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace kcs::testing {

// A figure of /proc/<pid>/status ("VmRSS" and "VmHWM" in KiB, "Threads", ...); nothing when it
// cannot be read.
inline std::optional<long> procStatusFigure(std::uint32_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = name + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return std::nullopt;
}

// The resident size of a process in KiB.
inline std::optional<long> residentKiB(std::uint32_t pid) { return procStatusFigure(pid, "VmRSS"); }

// The highest resident size the process has had so far, in KiB.
inline std::optional<long> peakResidentKiB(std::uint32_t pid) {
  return procStatusFigure(pid, "VmHWM");
}

// The number of threads the process has.
inline std::optional<long> threadCount(std::uint32_t pid) {
  return procStatusFigure(pid, "Threads");
}

}  // namespace kcs::testing
