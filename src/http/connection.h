// One accepted connection from start to end: read the request, authorise, route, answer, close.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/request_reader.h"
#include "platform/platform.h"
#include "state/shared_state.h"

namespace kcs {

// Serves the one request on connection and closes it; the reference to state goes with it.
// acceptedAtMs (on steadyMilliseconds) starts the time the client has to send its head.
void handleConnection(platform::Socket connection, std::shared_ptr<SharedState> state,
                      std::uint64_t acceptedAtMs);

// True when presented equals configured byte for byte. The time taken depends only on the
// configured token's length, never on where the two first differ.
bool tokenMatches(std::string_view configured, std::string_view presented);

struct Reply {
  std::string_view status;
  std::string body;
};

// The route's answer to an authorised request. Reads and changes the slots of state.
Reply routeRequest(const HttpRequest& request, SharedState& state);

}  // namespace kcs
