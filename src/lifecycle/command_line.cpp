// Placeholder.
#include "lifecycle/command_line.h"

namespace kcs {

CommandLine parseCommandLine(const std::vector<std::string>&) { return {}; }

}  // namespace kcs
