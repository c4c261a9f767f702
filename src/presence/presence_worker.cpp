#include "presence/presence_worker.h"

#include <new>
#include <utility>

#include "platform/platform.h"
#include "presence/activity_payloads.h"
#include "presence/presence_lines.h"
#include "presence/proxy_log_reader.h"

namespace kcs {
namespace {

constexpr unsigned kTickMilliseconds = 250;

// Console lines are best effort: a launcher that stops reading standard error (or never gave
// one) must not end presence for the rest of the session, so a line that cannot go is dropped.
void writeLine(PresenceWorker& worker, const std::string& line) { (void)worker.writeLine(line); }

void forgetGame(PresenceWorker& worker, std::uint32_t probedPid) {
  // The clear names the game followed so far (0 if none); its outcome does not matter.
  if (worker.client) (void)clearActivity(*worker.client, worker.followedPid);
  // A session stored meanwhile for another game must survive, so only the probed one goes.
  worker.state->presenceSession.clearIf(
      [probedPid](const PresenceSession& session) { return session.pid == probedPid; });
  worker.followedPid = 0;
  worker.lastShown.reset();
}

void show(PresenceWorker& worker) {
  const ActivityTexts texts = activityTexts(worker.current.kind);
  std::optional<std::uint64_t> start;
  if (worker.current.kind == PresenceState::Kind::Playing) start = worker.current.startTime;
  Status shown = setActivity(*worker.client, worker.followedPid, texts.details, texts.state, start);
  if (!shown.ok()) {
    // Leaving lastShown alone makes the next connection show the state again.
    worker.client.reset();
    writeLine(worker, std::string(kConnectionLostLine));
    return;
  }
  worker.lastShown = worker.current;
  writeLine(worker, std::string(kUpdatedLinePrefix) + std::to_string(worker.followedPid) +
                        std::string(kUpdatedLineState) + toText(worker.current) + "\n");
}

}  // namespace

PresenceWorker makePresenceWorker(const std::string& clientDir, std::shared_ptr<SharedState> state) {
  PresenceWorker worker;
  worker.logPath = platform::joinPath(clientDir, kProxyLogFileName);
  worker.state = std::move(state);
  return worker;
}

void tickPresenceWorker(PresenceWorker& worker) {
  const std::optional<PresenceSession> session = worker.state->presenceSession.copy();
  if (!session) return;

  if (!worker.gameAlive(session->pid)) {
    forgetGame(worker, session->pid);
    return;
  }

  if (session->pid != worker.followedPid) {
    // A new game starts in the menus at its own place in the log; no clear for the old one.
    worker.followedPid = session->pid;
    worker.current = PresenceState::menus();
    worker.lastShown.reset();
    worker.readOffset = session->logOffset;
  }

  // The state follows the log whether or not Discord is reachable.
  if (Result<PresenceState> scanned =
          scanNewLogText(worker.logPath, worker.current, worker.readOffset, worker.clock);
      scanned.ok()) {
    worker.current = *scanned;
  }

  if (!worker.client) {
    Result<DiscordIpcClient> connected = DiscordIpcClient::connect(worker.openEndpoint);
    if (!connected.ok()) return;  // Discord is not there; try again next tick, quietly
    worker.client = std::move(connected).value();
    writeLine(worker, std::string(kConnectedLinePrefix) + kDiscordApplicationId + "\n");
  }

  if (!worker.lastShown || !(*worker.lastShown == worker.current)) show(worker);
}

void runPresenceWorker(std::string clientDir, std::shared_ptr<SharedState> state) {
  PresenceWorker worker = makePresenceWorker(clientDir, std::move(state));
  for (;;) {
    try {
      tickPresenceWorker(worker);
    } catch (const std::bad_alloc&) {
      // Short of memory: this tick is dropped, the next one tries again.
    }
    platform::sleepMilliseconds(kTickMilliseconds);
  }
}

}  // namespace kcs
