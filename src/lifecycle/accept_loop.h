#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "state/shared_state.h"

namespace kcs {

// Serves the non-blocking listener until the launcher is gone: a launcher check before every
// accept, each connection on a thread of its own, 100 ms pause when idle, 500 ms after an error
// (a connection whose thread cannot be started counts as one, and is closed).
void acceptLoop(platform::Socket& listener, std::uint32_t launcherPid,
                const std::shared_ptr<SharedState>& state);

}  // namespace kcs
