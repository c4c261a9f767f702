#include "lifecycle/launcher_watch.h"

#include "platform/platform.h"

namespace kcs {

bool launcherAlive(std::uint32_t pid) { return platform::processExists(pid); }

}  // namespace kcs
