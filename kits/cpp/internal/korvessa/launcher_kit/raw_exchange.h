// The kit's HTTP exchange at the byte level, for the project's own tests and tools, which send
// requests no launcher would (broken, oversized, half-closed). Not installed with the kit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "korvessa/launcher_kit/http_client.h"

namespace kcs::kit {

// Connects, sends bytes as they are, and returns every byte that comes back until the peer
// closes (or a read waits longer than timeoutMs). A send that makes no progress for timeoutMs
// ends sending, as does a peer that closes before taking all the bytes; neither is a failure:
// what the peer answered is returned. halfClose ends the sending direction after the
// bytes, so the peer sees the end of the stream.
Result<std::string> exchangeRaw(std::uint16_t port, std::string_view bytes,
                                unsigned timeoutMs = kDefaultReplyTimeoutMs,
                                bool halfClose = false);

}  // namespace kcs::kit
