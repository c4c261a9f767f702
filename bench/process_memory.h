// Resident memory of another process, for the measuring programs.
#pragma once

#include <cstdint>
#include <optional>

namespace kcs::bench {

// Resident (working set) size of process pid in KiB; nothing when the system will not say.
std::optional<std::uint64_t> residentKiB(std::uint32_t pid);

}  // namespace kcs::bench
