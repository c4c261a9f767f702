#include "presence/discord_ipc_client.h"

#include <string_view>
#include <utility>

namespace kcs {
namespace {

// Repeats the platform write until every byte is taken. The platform already retries an
// interrupted write; a write that takes nothing would otherwise repeat for ever.
Status writeAll(platform::IpcChannel& pipe, std::string_view bytes) {
  while (!bytes.empty()) {
    Result<std::size_t> written = platform::writeIpc(pipe, bytes.data(), bytes.size());
    if (!written.ok()) return fail(written.error());
    if (*written == 0) return fail("Discord IPC write took no bytes");
    bytes.remove_prefix(*written < bytes.size() ? *written : bytes.size());
  }
  return Status::success();
}

}  // namespace

Result<DiscordIpcClient> DiscordIpcClient::connect(const IpcEndpointOpener& open) {
  for (unsigned index = 0; index < kDiscordEndpointCount; ++index) {
    Result<platform::IpcChannel> pipe = open(index);
    if (!pipe.ok()) continue;  // absent, busy or refused: the next index, without waiting
    DiscordIpcClient client{std::move(pipe).value(), 0};
    Status greeted = sendFrame(client, kOpcodeHandshake, handshakePayload());
    if (!greeted.ok()) return fail(greeted.error());  // the client's destructor closes the pipe
    return client;
  }
  return fail("Discord desktop IPC is unavailable");
}

nlohmann::json handshakePayload() {
  return nlohmann::json{{"v", 1}, {"client_id", kDiscordApplicationId}};
}

std::array<char, 8> frameHeader(std::uint32_t opcode, std::size_t payloadSize) {
  const auto length = static_cast<std::uint32_t>(payloadSize);
  std::array<char, 8> header{};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<char>((opcode >> (8 * i)) & 0xFF);
    header[4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  return header;
}

Status sendFrame(DiscordIpcClient& client, std::uint32_t opcode, const nlohmann::json& payload) {
  std::string bytes;
  try {
    // nlohmann::json keeps object members in a std::map, so keys come out in byte order.
    bytes = payload.dump();
  } catch (const nlohmann::json::exception& e) {
    return fail(e.what());
  }
  return writeFrame(client.pipe, opcode, bytes);
}

Status writeFrame(platform::IpcChannel& pipe, std::uint32_t opcode, std::string_view payload) {
  const std::array<char, 8> header = frameHeader(opcode, payload.size());
  const std::string_view view(header.data(), header.size());
  if (Status s = writeAll(pipe, view.substr(0, 4)); !s.ok()) return s;
  if (Status s = writeAll(pipe, view.substr(4, 4)); !s.ok()) return s;
  return writeAll(pipe, payload);
}

}  // namespace kcs
