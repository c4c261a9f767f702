// The launcher configuration: one line of JSON on standard input.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"

namespace kcs {

struct Config {
  std::string token;      // at least 32 bytes
  std::string clientDir;  // may be empty
};

// Checks and parses one configuration line (bytes as read, line feed included). The failure text
// is the whole message to print before ending with status 3.
Result<Config> parseLauncherConfig(std::string_view line);

// Reads the line from standard input, then parseLauncherConfig.
Result<Config> readLauncherConfig();

}  // namespace kcs
