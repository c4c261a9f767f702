// example-launcher SERVICE [CLIENT_DIR]: what a game launcher does with korvessa-client-services,
// through the launcher kit. It starts the service beside itself, stores a launch ticket and takes
// it back (the way the game client would), registers a game for presence (itself, from the start
// of the proxy log), prints each step, and ends the service. Status 0 when every step worked.
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
  options.servicePath = argv[1];
  options.clientDir = argc == 3 ? argv[2] : "";
  // The token is left empty, so the kit makes a fresh one from the system's secure random
  // source; launcherPid is left empty, so the service stays beside this process.
  kcs::kit::Result<kcs::kit::Sidecar> sidecar = kcs::kit::Sidecar::start(options);
  if (!sidecar.ok()) return failed(sidecar.error());
  std::printf("started the service: pid %u, %s", static_cast<unsigned>(sidecar->pid()),
              sidecar->announcement().c_str());

  auto health = sidecar->checkHealth();
  if (!health.ok()) return failed(health.error());
  std::printf("GET /health answered %s %s\n", health->statusText.c_str(), health->body.c_str());

  const kcs::kit::LoginTicket ticket{"ann", "!ann", "T-example", "2026-01-01T00:00:00Z", 3600};
  if (auto stored = sidecar->putLaunchTicket(ticket); !stored.ok()) return failed(stored.error());
  std::printf("stored a launch ticket for %s\n", ticket.clientLogin.c_str());

  auto taken = sidecar->takeLaunchTicket();
  if (!taken.ok()) return failed(taken.error());
  if (!taken->ticket || taken->ticket->ticket != ticket.ticket) {
    return failed("the ticket taken back is not the one stored");
  }
  std::printf("took the ticket back: %s\n", taken->reply.body.c_str());
  auto again = sidecar->takeLaunchTicket();
  if (!again.ok()) return failed(again.error());
  if (again->ticket) return failed("the ticket was handed out twice");
  std::printf("a second take found none: %s\n", again->reply.statusText.c_str());

  const kcs::kit::PresenceSession game{sidecar->launcherPid(), 0};
  if (auto registered = sidecar->putPresenceSession(game); !registered.ok()) {
    return failed(registered.error());
  }
  std::printf("registered pid %u for presence, from offset 0 of the proxy log\n",
              static_cast<unsigned>(game.pid));

  // A launcher that simply exits ends the service as well (status 0 within about 100 ms);
  // this one ends it at once.
  sidecar->stop();
  std::printf("stopped the service\n");
  return 0;
}
