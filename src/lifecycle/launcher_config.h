// The launcher configuration: one line of JSON on standard input.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs {

// The token (at least 32 bytes) and the client directory (may be empty), as the wire contract
// has them.
using Config = protocol::Configuration;

// Checks and parses one configuration line (bytes as read, line feed included). The failure text
// is the whole message to print before ending with status 3.
Result<Config> parseLauncherConfig(std::string_view line);

// Reads the line from standard input, then parseLauncherConfig.
Result<Config> readLauncherConfig();

}  // namespace kcs
