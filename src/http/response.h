// The one reply a connection gets: status line, five fixed headers in a fixed order, JSON body.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kcs {

// Status texts.
inline constexpr std::string_view kStatusOk = "200 OK";
inline constexpr std::string_view kStatusNoContent = "204 No Content";
inline constexpr std::string_view kStatusBadRequest = "400 Bad Request";
inline constexpr std::string_view kStatusUnauthorized = "401 Unauthorized";
inline constexpr std::string_view kStatusNotFound = "404 Not Found";

// Reply bodies: one line of compact JSON each, without a line break.
inline constexpr std::string_view kHealthBody =
    R"({"ok":true,"service":"korvessa-client-services"})";
inline constexpr std::string_view kBadRequestBody = R"({"ok":false,"error":"bad_request"})";
inline constexpr std::string_view kUnauthorizedBody = R"({"ok":false,"error":"unauthorized"})";
inline constexpr std::string_view kInvalidTicketBody = R"({"ok":false,"error":"invalid_ticket"})";
inline constexpr std::string_view kInvalidPresenceSessionBody =
    R"({"ok":false,"error":"invalid_presence_session"})";
inline constexpr std::string_view kNoLaunchSessionBody =
    R"({"ok":false,"error":"no_launch_session"})";
inline constexpr std::string_view kNotFoundBody = R"({"ok":false,"error":"not_found"})";
inline constexpr std::string_view kSerializationFailedBody =
    R"({"ok":false,"error":"serialization_failed"})";

// The whole reply as bytes: "HTTP/1.1 {status}", content-type, content-length, cache-control,
// connection, blank line, body.
std::string formatResponse(std::string_view status, std::string_view body);

// Formats and sends the reply. A failed send, or one that takes no bytes, ends sending silently:
// the peer may already be gone, and there is nobody to tell.
void writeResponse(platform::Socket& connection, std::string_view status, std::string_view body);

}  // namespace kcs
