// Where the running program lies: the kit looks for the service beside it, and the demo starts
// itself again from there. Not installed with the kit.
#pragma once

#include <string>

namespace kcs::kit::detail {

// The full path of the running executable in UTF-8, or "" when the system cannot say.
std::string currentProgramPath();

}  // namespace kcs::kit::detail
