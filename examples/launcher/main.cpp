// example-launcher SERVICE [CLIENT_DIR]: what a game launcher does with korvessa-client-services,
// through the launcher kit. It starts the service beside itself, stores a launch ticket and takes
// it back (the way the game client would), registers a game for presence (itself, from the
// proxy log's current end), prints each step, and ends the service. Status 0 when every step
// worked.
#include <korvessa/launcher_kit/sidecar.h>

#include <cstdio>
#include <string>

namespace {

int failed(const std::string& what) {
  std::fprintf(stderr, "example-launcher: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: example-launcher SERVICE [CLIENT_DIR]\n");
    return 2;
  }
  kcs::kit::SidecarOptions options;
  options.servicePath = argv[1];  // left unset, the kit looks beside this program
  options.clientDir = argc == 3 ? argv[2] : "";
  // The service's standard error, line by line, on a thread of the kit's.
  options.onDiagnostic = [](const std::string& line) {
    std::fprintf(stderr, "service: %s\n", line.c_str());
  };
  // The token is left unset, so the kit makes a fresh one from the system's secure random
  // source; launcherPid is left unset, so the service stays beside this process.
  kcs::kit::Result<kcs::kit::Sidecar> sidecar = kcs::kit::Sidecar::start(options);
  if (!sidecar.ok()) return failed(sidecar.error());
  std::printf("started the service: pid %u, %s\n", static_cast<unsigned>(sidecar->pid()),
              sidecar->url().c_str());

  if (auto health = sidecar->checkHealth(); !health.ok()) return failed(health.error());
  std::printf("GET /health answered as it should\n");

  const kcs::kit::LoginTicket ticket{"ann", "!ann", "T-example", "2026-01-01T00:00:00Z", 3600};
  if (auto stored = sidecar->putLaunchTicket(ticket); !stored.ok()) return failed(stored.error());
  std::printf("stored a launch ticket for %s\n", ticket.clientLogin.c_str());

  auto taken = sidecar->takeLaunchTicket();
  if (!taken.ok()) return failed(taken.error());
  if (!*taken || (*taken)->ticket != ticket.ticket) {
    return failed("the ticket taken back is not the one stored");
  }
  std::printf("took the ticket back: %s\n", (*taken)->ticket.c_str());
  auto again = sidecar->takeLaunchTicket();
  if (!again.ok()) return failed(again.error());
  if (*again) return failed("the ticket was handed out twice");
  std::printf("a second take found none\n");

  // Just before a game starts, the proxy log's size: the service reads only what follows.
  auto offset = kcs::kit::proxyLogOffset(options.clientDir);
  if (!offset.ok()) return failed(offset.error());
  const kcs::kit::PresenceSession game{sidecar->launcherPid(), *offset};
  if (auto registered = sidecar->putPresenceSession(game); !registered.ok()) {
    return failed(registered.error());
  }
  std::printf("registered pid %u for presence, from offset %llu of the proxy log\n",
              static_cast<unsigned>(game.pid), static_cast<unsigned long long>(game.logOffset));

  // A launcher that simply exits ends the service as well (status 0 within about 100 ms);
  // this one ends it at once.
  const kcs::kit::SidecarExit exit = sidecar->stop();
  std::printf("stopped the service (%s)\n", exit.describe().c_str());
  return 0;
}
