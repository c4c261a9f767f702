// One accepted connection from start to end: read the request, authorise, route, answer, close.
#pragma once

#include <memory>

#include "http/shared_state.h"
#include "platform/platform.h"

namespace kcs {

void handleConnection(platform::Socket connection, std::shared_ptr<SharedState> state);

}  // namespace kcs
