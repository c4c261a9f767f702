// The one reply a connection gets: status line, five fixed headers in a fixed order, JSON body.
#pragma once

#include <string>
#include <string_view>

#include "korvessa/launcher_kit/protocol.h"
#include "platform/platform.h"

namespace kcs {

// Status texts and reply bodies, as the kits know them too.
using protocol::kStatusBadRequest;
using protocol::kStatusNoContent;
using protocol::kStatusNotFound;
using protocol::kStatusOk;
using protocol::kStatusUnauthorized;

using protocol::kBadRequestBody;
using protocol::kHealthBody;
using protocol::kInvalidPresenceSessionBody;
using protocol::kInvalidTicketBody;
using protocol::kNoLaunchSessionBody;
using protocol::kNotFoundBody;
using protocol::kSerializationFailedBody;
using protocol::kUnauthorizedBody;

// The whole reply as bytes: "HTTP/1.1 {status}", content-type, content-length, cache-control,
// connection, blank line, body.
std::string formatResponse(std::string_view status, std::string_view body);

// Formats and sends the reply. A failed send, or one that takes no bytes, ends sending silently:
// the peer may already be gone, and there is nobody to tell.
void writeResponse(platform::Socket& connection, std::string_view status, std::string_view body);

}  // namespace kcs
