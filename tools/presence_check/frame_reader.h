// Reads what Discord writes on a connection: whole frames, within a time limit, with PINGs
// answered on the spot, as Discord expects of every client that reads.
#pragma once

#include <cstdint>
#include <string>

#include "discord_ipc/frame_decoder.h"
#include "presence/discord_ipc_client.h"

namespace kcs::check {

// Far beyond any answer Discord gives (its READY dispatch is a few hundred bytes); a frame that
// announces more is a protocol failure.
inline constexpr std::uint32_t kMaxAnswerPayload = 64 * 1024;

struct Incoming {
  enum class Kind { Frame, TimedOut, Closed, Failed };
  Kind kind = Kind::Failed;
  ipc::IpcFrame frame;  // when Frame
  std::string error;    // when Failed
};

class FrameReader {
 public:
  explicit FrameReader(DiscordIpcClient& client) : client_(client), decoder_(kMaxAnswerPayload) {}

  // The next frame other than a PING, waiting at most timeoutMs in all. A PING is answered
  // with a PONG carrying the same payload and not returned.
  Incoming next(unsigned timeoutMs);

 private:
  DiscordIpcClient& client_;
  ipc::FrameDecoder decoder_;
};

}  // namespace kcs::check
