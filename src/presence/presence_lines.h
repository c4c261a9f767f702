// The presence worker's lines on standard error. The worker writes them; the demo launcher and
// the tests read them back with these same texts.
#pragma once

#include <string_view>

namespace kcs {

// Followed by the application id and a line feed.
inline constexpr std::string_view kConnectedLinePrefix = "Discord IPC connected application=";
// Followed by the pid, kUpdatedLineState, the state's text form and a line feed.
inline constexpr std::string_view kUpdatedLinePrefix = "Discord presence updated pid=";
inline constexpr std::string_view kUpdatedLineState = " state=";
inline constexpr std::string_view kConnectionLostLine =
    "Discord presence connection lost; retrying\n";

}  // namespace kcs
