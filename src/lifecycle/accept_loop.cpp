#include "lifecycle/accept_loop.h"

#include <string>
#include <utility>

#include "http/connection.h"
#include "lifecycle/launcher_watch.h"
#include "lifecycle/threads.h"

namespace kcs {
namespace {

constexpr unsigned kIdlePauseMs = 100;
constexpr unsigned kErrorPauseMs = 500;

void startConnectionThread(platform::Socket connection, std::shared_ptr<SharedState> state) {
  // std::function needs a copyable target, so the socket travels as its raw handle and is owned
  // again on the new thread; if the thread never starts the handle is closed here.
  std::intptr_t handle = connection.release();
  Status started = spawnGuardedThread("connection", [handle, state = std::move(state)]() mutable {
    handleConnection(platform::Socket(handle), std::move(state));
  });
  if (!started.ok()) {
    platform::closeSocketHandle(handle);
    exitFatal("failed to spawn thread", started.error());
  }
}

}  // namespace

void acceptLoop(platform::Socket& listener, std::uint32_t launcherPid,
                const std::shared_ptr<SharedState>& state) {
  while (launcherAlive(launcherPid)) {
    platform::AcceptResult accepted = platform::acceptConnection(listener);
    switch (accepted.kind) {
      case platform::AcceptResult::Kind::Accepted:
        startConnectionThread(std::move(accepted.connection), state);
        break;
      case platform::AcceptResult::Kind::WouldBlock:
        platform::sleepMilliseconds(kIdlePauseMs);
        break;
      case platform::AcceptResult::Kind::Failed:
        if (!platform::writeStandardError("accept failed: " + accepted.error + "\n").ok()) {
          exitFatal("standard error", "write failed");
        }
        platform::sleepMilliseconds(kErrorPauseMs);
        break;
    }
  }
}

}  // namespace kcs
