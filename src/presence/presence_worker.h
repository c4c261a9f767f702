// The presence worker: follows the registered game's proxy log and mirrors its state in Discord.
#pragma once

#include <memory>
#include <string>

#include "http/shared_state.h"

namespace kcs {

// The worker thread's body: one tick every 250 ms, for the rest of the process's life.
void runPresenceWorker(std::string clientDir, std::shared_ptr<SharedState> state);

}  // namespace kcs
