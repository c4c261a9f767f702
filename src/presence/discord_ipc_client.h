// The client side of Discord's local IPC endpoint: find it, introduce the service with a
// handshake, write length-prefixed JSON frames. It only ever writes; nothing is read back.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "platform/platform.h"

namespace kcs {

// The application the service introduces itself as: 19 decimal digits, fixed at build time.
inline constexpr const char* kDiscordApplicationId = KCS_DISCORD_APPLICATION_ID;

// Frame opcodes: the handshake opens a connection, every command goes out as a plain frame.
inline constexpr std::uint32_t kOpcodeHandshake = 0;
inline constexpr std::uint32_t kOpcodeFrame = 1;

inline constexpr int kDiscordEndpointCount = 10;

// Opens the endpoint with this index; the production opener is platform::openDiscordIpc.
using IpcEndpointOpener = std::function<Result<platform::IpcChannel>(unsigned index)>;

// One open connection, owned by the presence worker alone. Destroying it closes the endpoint.
// Failures of the operations below are IPC errors: a text for diagnostics, nothing more.
struct DiscordIpcClient {
  platform::IpcChannel pipe;
  std::uint64_t nonceCounter = 0;  // commands sent since the handshake

  // Tries the endpoints 0 to 9 in order, handshakes on the first that opens and returns the
  // client with its counter at 0. A failed handshake closes that endpoint and tries no further
  // index. Prints nothing: announcing the connection is the caller's business.
  static Result<DiscordIpcClient> connect(const IpcEndpointOpener& open = platform::openDiscordIpc);
};

// {"client_id":"<application id>","v":1}
nlohmann::json handshakePayload();

// The 8 bytes before a payload: opcode and payload size (its low 32 bits), little-endian.
std::array<char, 8> frameHeader(std::uint32_t opcode, std::size_t payloadSize);

// Serialises payload compactly (object keys in ascending byte order) and writes the frame as
// three complete writes: opcode, length, payload. A write that takes no bytes is a failure. If
// serialisation fails nothing is written.
Status sendFrame(DiscordIpcClient& client, std::uint32_t opcode, const nlohmann::json& payload);

// Writes one frame around payload bytes taken as they are, in the same three complete writes.
Status writeFrame(platform::IpcChannel& pipe, std::uint32_t opcode, std::string_view payload);

}  // namespace kcs
