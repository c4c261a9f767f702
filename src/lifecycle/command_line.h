// The command line: "--launcher-pid PID", or "--help" / "-h".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kcs {

inline constexpr const char* kUsageLine = "korvessa-client-services --launcher-pid <pid>\n";

struct CommandLine {
  enum class Action {
    Serve,     // launcherPid is set
    ShowHelp,  // print the usage line, status 0
    Fail,      // message is the error, status 2
    Fatal,     // an examined argument is not valid UTF-8; message names it, status 101
  };
  Action action = Action::Fail;
  std::uint32_t launcherPid = 0;
  std::string message;
};

// arguments: the whole argument list, program name first (it is checked, never interpreted).
// Writes nothing.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace kcs
