// Splits the byte stream of a Discord IPC connection into frames: opcode (u32 little-endian),
// payload length (u32 little-endian), payload. Bytes go in as they were read, however they were
// cut; frames come out whole. Shared by the tools that read Discord's side of the conversation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace kcs::ipc {

// Opcodes beyond the handshake (0) and a plain frame (1).
inline constexpr std::uint32_t kOpcodeClose = 2;
inline constexpr std::uint32_t kOpcodePing = 3;
inline constexpr std::uint32_t kOpcodePong = 4;

struct IpcFrame {
  std::uint32_t opcode = 0;
  std::string payload;
};

class FrameDecoder {
 public:
  // Frames announcing a payload longer than maxPayload are a protocol failure.
  explicit FrameDecoder(std::uint32_t maxPayload) : maxPayload_(maxPayload) {}

  // Takes the next bytes of the stream.
  void feed(std::string_view bytes) { buffer_.append(bytes); }

  // The next whole frame; nothing while its bytes are still to come; a failure once a header
  // announces more than maxPayload (the stream cannot be trusted after that, and nothing is
  // ever reserved for the announced length).
  Result<std::optional<IpcFrame>> next();

  // True when bytes of an unfinished frame are held (a peer that closes now cut a frame short).
  bool midFrame() const { return !buffer_.empty(); }

  // The payload length the frame being assembled announces; nothing before its header is in.
  std::optional<std::uint32_t> announcedLength() const;

 private:
  std::uint32_t maxPayload_;
  std::string buffer_;
};

}  // namespace kcs::ipc
