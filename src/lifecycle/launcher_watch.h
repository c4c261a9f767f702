#pragma once

#include <cstdint>

namespace kcs {

// True while the launcher process runs and may be queried (platform::processExists, the one
// check that the game probe uses too); pid 0 is never alive.
bool launcherAlive(std::uint32_t pid);

}  // namespace kcs
