// CPU time that another process has used so far, for the measuring programs.
#pragma once

#include <cstdint>
#include <optional>

namespace kcs::bench {

// User plus system CPU seconds of process pid; nothing when the system will not say.
std::optional<double> processCpuSeconds(std::uint32_t pid);

}  // namespace kcs::bench
