// Where the running executable lies, so that the demo can start itself again as a stand-in and
// find the service and the other tools next to it.
#pragma once

#include <string>

namespace kcs::demo {

// The full path of this executable; argv0 when the system cannot say.
std::string selfExecutablePath(const char* argv0);

}  // namespace kcs::demo
