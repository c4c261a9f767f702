// What the Discord desktop client would show for the service's activity commands: the frames a
// Discord stand-in receives, or the service's own "presence updated" lines, decoded into the
// details, state and elapsed time a person sees. Used by the demo launcher and the tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

struct DiscordActivity {
  std::uint32_t pid = 0;
  bool cleared = false;  // the command removes the activity
  std::string details;
  std::string state;
  std::optional<std::uint64_t> startSeconds;  // Unix seconds; Discord counts elapsed time from it
  std::string nonce;     // empty when decoded from a service line
};

// The payload of a frame with opcode 1 that carries "SET_ACTIVITY".
Result<DiscordActivity> decodeSetActivity(std::string_view payload);

// The application id of a handshake payload (opcode 0), e.g. {"client_id":"…","v":1}.
Result<std::string> decodeHandshake(std::string_view payload);

// The activity that a service line "Discord presence updated pid={} state={}" stands for, with
// the texts the service sends for that state.
Result<DiscordActivity> decodePresenceLine(std::string_view line);

// Elapsed time as Discord shows it: "mm:ss", or "h:mm:ss" from one hour on.
std::string formatElapsed(std::uint64_t seconds);

// One readable line: "\"Playing on Duskmere\" / \"Adventurer\", elapsed 00:03 since start",
// or "activity cleared". nowSeconds is the wall clock used for the elapsed time.
std::string describeActivity(const DiscordActivity& activity, std::uint64_t nowSeconds);

}  // namespace kcs::kit
