// The service's wire contract: routes, the token header, reply bodies and error codes, the
// records with their member names, and the proxy log's file name. The service is built on this header as
// well as the kit, so the two cannot disagree; kits/cases.json ("protocol") carries the same facts
// for the kits in other languages, and a test holds the two against each other.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kcs::protocol {

// Every request carries the access token in this header (names match without regard to case).
inline constexpr std::string_view kTokenHeader = "x-korvessa-token";

// The routes: a method and a whole path, both matched byte for byte.
struct Route {
  std::string_view method;
  std::string_view path;
};
inline constexpr Route kHealth{"GET", "/health"};
inline constexpr Route kPutLaunchTicket{"PUT", "/launch/session"};
inline constexpr Route kTakeLaunchTicket{"GET", "/launch/session"};
inline constexpr Route kPutPresenceSession{"PUT", "/presence/session"};

// Status lines' texts.
inline constexpr std::string_view kStatusOk = "200 OK";
inline constexpr std::string_view kStatusNoContent = "204 No Content";
inline constexpr std::string_view kStatusBadRequest = "400 Bad Request";
inline constexpr std::string_view kStatusUnauthorized = "401 Unauthorized";
inline constexpr std::string_view kStatusNotFound = "404 Not Found";

// The error codes of failed requests, each answered {"ok":false,"error":CODE}.
inline constexpr std::string_view kErrorBadRequest = "bad_request";
inline constexpr std::string_view kErrorUnauthorized = "unauthorized";
inline constexpr std::string_view kErrorInvalidTicket = "invalid_ticket";
inline constexpr std::string_view kErrorInvalidPresenceSession = "invalid_presence_session";
inline constexpr std::string_view kErrorNoLaunchSession = "no_launch_session";
inline constexpr std::string_view kErrorNotFound = "not_found";
inline constexpr std::string_view kErrorSerializationFailed = "serialization_failed";

// Reply bodies, byte for byte: one line of compact JSON each, without a line break.
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

// The records' JSON member names; the arrays give the field order (of the array form too).
inline constexpr std::string_view kToken = "token";
inline constexpr std::string_view kClientDir = "clientDir";
inline constexpr std::array<std::string_view, 2> kConfigFields = {kToken, kClientDir};

inline constexpr std::string_view kUsername = "username";
inline constexpr std::string_view kClientLogin = "clientLogin";
inline constexpr std::string_view kTicket = "ticket";
inline constexpr std::string_view kExpiresAt = "expiresAt";
inline constexpr std::string_view kTtlSeconds = "ttlSeconds";
inline constexpr std::array<std::string_view, 5> kLoginTicketFields = {
    kUsername, kClientLogin, kTicket, kExpiresAt, kTtlSeconds};

inline constexpr std::string_view kPid = "pid";
inline constexpr std::string_view kLogOffset = "logOffset";
inline constexpr std::array<std::string_view, 2> kPresenceSessionFields = {kPid, kLogOffset};

// A launch ticket as PUT /launch/session takes it and GET /launch/session hands it back. The
// service accepts it when clientLogin begins with "!" and ticket is not empty; expiresAt and
// ttlSeconds are kept for the game client, unread.
struct LoginTicket {
  std::string username;
  std::string clientLogin;
  std::string ticket;
  std::string expiresAt;
  std::uint64_t ttlSeconds = 0;
};

// The running game as PUT /presence/session registers it: its process id (not 0) and the byte
// offset in the proxy log where its own lines begin.
struct PresenceSession {
  std::uint32_t pid = 0;
  std::uint64_t logOffset = 0;
};

// The authentication proxy's log in the game client directory, which a presence session's
// logOffset points into.
inline constexpr std::string_view kProxyLogFileName = "KorvessaAuthProxy.log";

}  // namespace kcs::protocol
