#pragma once

#include <cstdint>

namespace kcs {

// True while the launcher process exists and may be queried; pid 0 is never alive.
bool launcherAlive(std::uint32_t pid);

}  // namespace kcs
