#include "platform/clock.h"

#include <chrono>

namespace kcs::platform {

std::uint64_t steadyMilliseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace kcs::platform
