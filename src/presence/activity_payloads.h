// The two commands that change what Discord shows: set an activity, or clear it. Both are
// "SET_ACTIVITY" frames on the worker's client; each advances the client's nonce counter first,
// so a command whose write fails still uses up its number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "presence/discord_ipc_client.h"
#include "presence/proxy_log_scanner.h"

namespace kcs {

// The texts Discord shows for a game state: details first, then the state line.
struct ActivityTexts {
  const char* details;
  const char* state;
};
ActivityTexts activityTexts(PresenceState::Kind kind);

// The payloads themselves, for a given nonce number.
nlohmann::json setActivityPayload(std::uint64_t nonce, std::uint32_t pid, const std::string& details,
                                  const std::string& stateText,
                                  std::optional<std::uint64_t> startTime);
nlohmann::json clearActivityPayload(std::uint64_t nonce, std::uint32_t pid);

// Shows an activity for pid: details and state texts, and an elapsed-time start when given.
Status setActivity(DiscordIpcClient& client, std::uint32_t pid, const std::string& details,
                   const std::string& stateText, std::optional<std::uint64_t> startTime);

// Removes the activity shown for pid (the activity is sent as null).
Status clearActivity(DiscordIpcClient& client, std::uint32_t pid);

}  // namespace kcs
