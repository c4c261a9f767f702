#include "presence_check/frame_reader.h"

#include <chrono>
#include <optional>

#include "discord_ipc/ipc_listener.h"

namespace kcs::check {

Incoming FrameReader::next(unsigned timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Result<std::optional<ipc::IpcFrame>> decoded = decoder_.next();
    if (!decoded.ok()) return {Incoming::Kind::Failed, {}, decoded.error()};
    if (decoded->has_value()) {
      ipc::IpcFrame frame = std::move(decoded->value());
      if (frame.opcode != ipc::kOpcodePing) return {Incoming::Kind::Frame, std::move(frame), {}};
      Status pong = writeFrame(client_.pipe, ipc::kOpcodePong, frame.payload);
      if (!pong.ok()) return {Incoming::Kind::Failed, {}, "answering a PING: " + pong.error()};
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    Result<bool> readable = ipc::waitIpcReadable(
        client_.pipe, left.count() > 0 ? static_cast<unsigned>(left.count()) : 0);
    if (!readable.ok()) return {Incoming::Kind::Failed, {}, readable.error()};
    if (!*readable) return {Incoming::Kind::TimedOut, {}, {}};
    char buffer[4096];
    Result<std::size_t> got = platform::readIpc(client_.pipe, buffer, sizeof(buffer));
    if (!got.ok()) return {Incoming::Kind::Failed, {}, got.error()};
    if (*got == 0) return {Incoming::Kind::Closed, {}, {}};
    decoder_.feed(std::string_view(buffer, *got));
  }
}

}  // namespace kcs::check
