#include "lifecycle/accept_loop.h"

#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "http/connection.h"
#include "lifecycle/launcher_watch.h"
#include "lifecycle/threads.h"
#include "platform/clock.h"

namespace kcs {
namespace {

constexpr unsigned kIdlePauseMs = 100;
constexpr unsigned kErrorPauseMs = 500;

void reportAcceptFailure(const std::string& error) {
  // Best effort: with standard error gone, the line is dropped and serving goes on.
  (void)platform::writeStandardError("accept failed: " + error + "\n");
  platform::sleepMilliseconds(kErrorPauseMs);
}

// Starts handleConnection on a thread of its own. A thread that cannot be had (too many
// threads, no room for another stack) is the clients' doing, not a fault of the service: the
// connection is closed and the failure goes back to the loop like any failed accept.
Status startConnectionThread(platform::Socket connection, std::shared_ptr<SharedState> state) {
  const std::uint64_t acceptedAtMs = platform::steadyMilliseconds();
  // std::function needs a copyable target, so the socket travels as its raw handle and is owned
  // again on the new thread; if the thread never starts the handle is closed here.
  std::intptr_t handle = connection.release();
  Status started;
  try {
    started = spawnGuardedThread(
        "connection", [handle, state = std::move(state), acceptedAtMs]() mutable {
          handleConnection(platform::Socket(handle), std::move(state), acceptedAtMs);
        });
  } catch (const std::bad_alloc&) {
    // No memory left for the thread's start-up record: the same shortage as no room for a stack.
    started = fail(std::make_error_code(std::errc::not_enough_memory).message());
  }
  if (!started.ok()) platform::closeSocketHandle(handle);
  return started;
}

}  // namespace

void acceptLoop(platform::Socket& listener, std::uint32_t launcherPid,
                const std::shared_ptr<SharedState>& state) {
  while (launcherAlive(launcherPid)) {
    platform::AcceptResult accepted = platform::acceptConnection(listener);
    switch (accepted.kind) {
      case platform::AcceptResult::Kind::Accepted:
        if (Status started = startConnectionThread(std::move(accepted.connection), state);
            !started.ok()) {
          reportAcceptFailure(started.error());
        }
        break;
      case platform::AcceptResult::Kind::WouldBlock:
        platform::sleepMilliseconds(kIdlePauseMs);
        break;
      case platform::AcceptResult::Kind::Failed:
        reportAcceptFailure(accepted.error);
        break;
    }
  }
}

}  // namespace kcs
