#include "lifecycle/service.h"

#include <memory>
#include <string>
#include <utility>

#include "lifecycle/accept_loop.h"
#include "lifecycle/command_line.h"
#include "lifecycle/launcher_config.h"
#include "lifecycle/launcher_watch.h"
#include "lifecycle/threads.h"
#include "platform/platform.h"
#include "presence/presence_worker.h"
#include "state/shared_state.h"

namespace kcs {
namespace {

constexpr int kListenBacklog = 128;

enum ExitStatus : int {
  kExitNormal = 0,
  kExitCommandLine = 2,
  kExitConfiguration = 3,
  kExitLauncherMissing = 4,
  kExitBindFailed = 5,
};

// The status tells the launcher what went wrong even when the line cannot be written.
[[noreturn]] void exitWithMessage(int status, const std::string& message) {
  (void)platform::writeStandardError(message + "\n");
  platform::exitProcess(status);
}

}  // namespace

void runService(int argc, char** argv) {
  platform::initProcess();

  // 1. Command line.
  CommandLine commandLine = parseCommandLine(platform::commandLineArguments(argc, argv));
  switch (commandLine.action) {
    case CommandLine::Action::ShowHelp: {
      Status written = platform::writeStandardOutput(kUsageLine);
      if (!written.ok()) exitFatal("standard output", written.error());
      platform::exitProcess(kExitNormal);
    }
    case CommandLine::Action::Fail:
      exitWithMessage(kExitCommandLine, commandLine.message);
    case CommandLine::Action::Fatal:
      exitFatal("command line", commandLine.message);
    case CommandLine::Action::Serve:
      break;
  }
  const std::uint32_t launcherPid = commandLine.launcherPid;

  // 2. Launcher configuration, taken in before the launcher is looked for.
  Result<Config> config = readLauncherConfig();
  if (!config.ok()) exitWithMessage(kExitConfiguration, config.error());

  // 3. Launcher check.
  if (!launcherAlive(launcherPid)) exitWithMessage(kExitLauncherMissing, "launcher process not found");

  // 4. Listener on 127.0.0.1 with a port the system picks.
  Status library = platform::initSocketLibrary();
  if (!library.ok()) exitFatal("socket library", library.error());
  Result<platform::Socket> listener = platform::bindLoopbackListener(kListenBacklog);
  if (!listener.ok()) exitWithMessage(kExitBindFailed, "failed binding sidecar: " + listener.error());

  // 5. Non-blocking mode and the address to announce.
  Status nonBlocking = platform::setNonBlocking(*listener, true);
  if (!nonBlocking.ok()) exitFatal("set nonblocking", nonBlocking.error());
  Result<std::string> address = platform::localAddress(*listener);
  if (!address.ok()) exitFatal("local address", address.error());

  // 6. Shared state and the presence worker, running before the first request can arrive.
  auto state = std::make_shared<SharedState>(std::move(config->token));
  Status worker = spawnGuardedThread(
      "presence worker", [clientDir = std::move(config->clientDir), state]() mutable {
        runPresenceWorker(std::move(clientDir), std::move(state));
      });
  if (!worker.ok()) exitFatal("failed to spawn thread", worker.error());

  // 7. The one line on standard output.
  Status announced = platform::writeStandardOutput("http://" + *address + "\n");
  if (!announced.ok()) exitFatal("standard output", announced.error());

  // 8. Serve until the launcher is gone, then end quietly. Detached threads are not waited for;
  // exitProcess skips static destructors so none runs beneath them.
  acceptLoop(*listener, launcherPid, state);
  state.reset();
  listener->reset();
  platform::exitProcess(kExitNormal);
}

}  // namespace kcs
