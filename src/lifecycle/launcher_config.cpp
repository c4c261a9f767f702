// Placeholder.
#include "lifecycle/launcher_config.h"

namespace kcs {

Result<Config> parseLauncherConfig(std::string_view) { return fail("not built"); }
Result<Config> readLauncherConfig() { return fail("not built"); }

}  // namespace kcs
