// The clock that deadlines are measured on.
#pragma once

#include <cstdint>
#include <functional>

namespace kcs::platform {

// Milliseconds on a clock that never goes back; only differences between readings mean anything.
using Clock = std::function<std::uint64_t()>;
std::uint64_t steadyMilliseconds();

}  // namespace kcs::platform
