// The service's wire contract: routes, the token header, reply bodies and error codes, the
// records with their member names in order, and the proxy log's file name. The service is built
// on this header as well as the kit, so the two cannot disagree; kits/cases.json ("protocol")
// carries the same facts for the kits in other languages, and a test holds the two together.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

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

// The records' JSON member names.
inline constexpr std::string_view kToken = "token";
inline constexpr std::string_view kClientDir = "clientDir";
inline constexpr std::string_view kUsername = "username";
inline constexpr std::string_view kClientLogin = "clientLogin";
inline constexpr std::string_view kTicket = "ticket";
inline constexpr std::string_view kExpiresAt = "expiresAt";
inline constexpr std::string_view kTtlSeconds = "ttlSeconds";
inline constexpr std::string_view kPid = "pid";
inline constexpr std::string_view kLogOffset = "logOffset";

// The configuration line that the launcher writes to the service's standard input.
struct Configuration {
  std::string token;      // the access token, at least 32 bytes
  std::string clientDir;  // the game client directory; may be empty
};

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

// One field of a record: its JSON member name and the struct member that holds it.
template <class Record, class Value>
struct Field {
  using Type = Value;
  std::string_view name;
  Value Record::*member;
};
template <class Record, class Value>
Field(std::string_view, Value Record::*) -> Field<Record, Value>;

// Each record's fields in wire order: the order of the members of the object form and of the
// elements of the array form. The service's reader and writer and the kit's encoder and decoder
// all take the names and the order from these lists alone.
inline constexpr std::tuple kConfigurationFields{Field{kToken, &Configuration::token},
                                                 Field{kClientDir, &Configuration::clientDir}};
inline constexpr std::tuple kLoginTicketFields{
    Field{kUsername, &LoginTicket::username}, Field{kClientLogin, &LoginTicket::clientLogin},
    Field{kTicket, &LoginTicket::ticket}, Field{kExpiresAt, &LoginTicket::expiresAt},
    Field{kTtlSeconds, &LoginTicket::ttlSeconds}};
inline constexpr std::tuple kPresenceSessionFields{Field{kPid, &PresenceSession::pid},
                                                   Field{kLogOffset, &PresenceSession::logOffset}};

// Calls visit(field) for each field of a list in order, while it returns true; whether every
// call did.
template <class Fields, class Visit>
constexpr bool forEachField(const Fields& fields, Visit&& visit) {
  return std::apply([&visit](const auto&... field) { return (visit(field) && ...); }, fields);
}

// The member names of a list, in order.
template <class Fields>
constexpr auto fieldNames(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        return std::array<std::string_view, sizeof...(field)>{field.name...};
      },
      fields);
}

// The authentication proxy's log in the game client directory, which a presence session's
// logOffset points into.
inline constexpr std::string_view kProxyLogFileName = "KorvessaAuthProxy.log";

}  // namespace kcs::protocol
