#include "http/connection.h"

#include <optional>
#include <utility>

#include "http/records.h"
#include "http/response.h"
#include "platform/clock.h"

namespace kcs {
namespace {

Reply takeLaunchTicket(SharedState& state) {
  std::optional<LoginTicket> ticket = state.launchTicket.take();
  if (!ticket) return {kStatusNotFound, std::string(kNoLaunchSessionBody)};
  // The ticket is out of the slot now: even if writing fails it is handed out only this once.
  Result<std::string> json = writeLoginTicket(*ticket);
  if (!json.ok()) return {kStatusOk, std::string(kSerializationFailedBody)};
  return {kStatusOk, std::move(json).value()};
}

Reply storeLaunchTicket(const std::string& body, SharedState& state) {
  Result<LoginTicket> ticket = readLoginTicket(body);
  if (!ticket.ok() || !isValid(*ticket)) {
    return {kStatusBadRequest, std::string(kInvalidTicketBody)};
  }
  state.launchTicket.replace(std::move(ticket).value());
  return {kStatusNoContent, {}};
}

Reply storePresenceSession(const std::string& body, SharedState& state) {
  Result<PresenceSession> session = readPresenceSession(body);
  if (!session.ok() || !isValid(*session)) {
    return {kStatusBadRequest, std::string(kInvalidPresenceSessionBody)};
  }
  state.presenceSession.replace(*session);
  return {kStatusNoContent, {}};
}

// A reply that went out before the request was read whole leaves the client's bytes unread, and
// closing over unread bytes makes the system send a reset, which can destroy the reply before
// the client has read it. So the sending side is shut down (the client sees the reply end) and
// whatever the client still sends is read and dropped, bounded in time and amount, before the
// close.
constexpr unsigned kDrainMs = 2000;
constexpr std::size_t kDrainBytes = 4 * 1024 * 1024;

void drainBeforeClose(platform::Socket& connection, ByteSource& source) {
  if (!platform::shutdownSending(connection).ok()) return;
  const std::uint64_t end = platform::steadyMilliseconds() + kDrainMs;
  char scratch[16 * 1024];
  for (std::size_t drained = 0; drained < kDrainBytes;) {
    const std::uint64_t now = platform::steadyMilliseconds();
    if (now >= end) return;
    const platform::ReceiveResult got =
        source.read(scratch, sizeof(scratch), static_cast<unsigned>(end - now));
    if (got.kind != platform::ReceiveResult::Kind::Data) return;
    drained += got.size;
  }
}

}  // namespace

bool tokenMatches(std::string_view configured, std::string_view presented) {
  // Every configured byte is looked at whatever the presented token holds, and differences are
  // collected rather than acted on, so the timing tells nothing about the secret.
  unsigned difference = presented.size() == configured.size() ? 0u : 1u;
  for (std::size_t i = 0; i < configured.size(); ++i) {
    const unsigned char mine = static_cast<unsigned char>(configured[i]);
    const unsigned char theirs =
        i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0u;
    difference |= static_cast<unsigned>(mine ^ theirs);
  }
  return difference == 0;
}

Reply routeRequest(const HttpRequest& request, SharedState& state) {
  auto is = [&request](const protocol::Route& route) {
    return request.method == route.method && request.path == route.path;
  };
  if (is(protocol::kHealth)) return {kStatusOk, std::string(kHealthBody)};
  if (is(protocol::kTakeLaunchTicket)) return takeLaunchTicket(state);
  if (is(protocol::kPutLaunchTicket)) return storeLaunchTicket(request.body, state);
  if (is(protocol::kPutPresenceSession)) return storePresenceSession(request.body, state);
  return {kStatusNotFound, std::string(kNotFoundBody)};
}

void handleConnection(platform::Socket connection, std::shared_ptr<SharedState> state,
                      std::uint64_t acceptedAtMs) {
  SocketByteSource source(connection);
  Result<RequestHead> head = readRequestHead(source, acceptedAtMs + kHeadDeadlineMs);
  if (!head.ok()) {
    writeResponse(connection, kStatusBadRequest, kBadRequestBody);
    return;  // the reason is not revealed
  }
  // Authorisation guards every route, paths without one included, and comes before the body:
  // a client without the token costs no more than its head.
  if (!tokenMatches(state->token, head->token)) {
    writeResponse(connection, kStatusUnauthorized, kUnauthorizedBody);
    drainBeforeClose(connection, source);
    return;
  }
  Result<HttpRequest> request = readRequestBody(source, std::move(head).value());
  if (!request.ok()) {
    writeResponse(connection, kStatusBadRequest, kBadRequestBody);
    return;
  }
  const Reply reply = routeRequest(*request, *state);
  writeResponse(connection, reply.status, reply.body);
  // connection closes here, at once, without a shut-down; state's reference goes with it.
}

}  // namespace kcs
