// The presence worker: follows the registered game's proxy log and mirrors its state in Discord.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "presence/discord_ipc_client.h"
#include "presence/proxy_log_scanner.h"
#include "state/shared_state.h"

namespace kcs {

// Everything the worker keeps from tick to tick. Only the worker thread touches it; it shares
// nothing but the presence session slot in state.
struct PresenceWorker {
  std::string logPath;
  std::shared_ptr<SharedState> state;

  std::uint32_t followedPid = 0;  // 0: no session is followed
  std::uint64_t readOffset = 0;   // where the next log read starts
  PresenceState current;          // derived from the log so far
  std::optional<PresenceState> lastShown;  // last state Discord accepted for this session
  std::optional<DiscordIpcClient> client;

  // The outside world, replaceable in tests. Production: the platform layer.
  bool (*gameAlive)(std::uint32_t pid) = platform::processExists;
  WallClock clock = platform::unixTimeSeconds;
  IpcEndpointOpener openEndpoint = platform::openDiscordIpc;
  Status (*writeLine)(std::string_view line) = platform::writeStandardError;
};

// A worker for the game client in clientDir, following nothing yet.
PresenceWorker makePresenceWorker(const std::string& clientDir, std::shared_ptr<SharedState> state);

// One look at the session slot, the game, the log and Discord. A console line that cannot be
// written is dropped. Throws when the presence lock is broken, which ends the worker, or when
// memory runs out, which ends only that tick.
void tickPresenceWorker(PresenceWorker& worker);

// The worker thread's body: one tick every 250 ms, for the rest of the process's life.
void runPresenceWorker(std::string clientDir, std::shared_ptr<SharedState> state);

}  // namespace kcs
