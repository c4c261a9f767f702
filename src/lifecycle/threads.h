// Thread start-up and the process's last-resort exits.
#pragma once

#include <functional>
#include <string_view>

#include "common/result.h"

namespace kcs {

// Writes "fatal: {step}: {detail}" to standard error and ends the process with status 101.
[[noreturn]] void exitFatal(std::string_view step, std::string_view detail);

// Runs body on a detached thread with a 2 MiB stack. Anything body throws ends only that thread,
// with one line "{name} stopped: {what}" on standard error.
Status spawnGuardedThread(std::string_view name, std::function<void()> body);

}  // namespace kcs
