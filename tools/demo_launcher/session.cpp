#include "session.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/diagnostic_lines.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/secure_random.h"
#include "korvessa/launcher_kit/sidecar.h"
#include "discord_ipc/discord_activity.h"
#include "platform/platform.h"
#include "presence/activity_payloads.h"
#include "presence/presence_lines.h"
#include "timeline.h"

namespace kcs::demo {
namespace {

namespace fs = std::filesystem;
using kit::ChildProcess;
using kit::DiscordActivity;
using kit::fail;
using kit::LoginTicket;
using kit::PresenceSession;
using kit::Result;
using kit::Status;

// Delays between the steps: readable for a person, or just long enough for the checks.
struct Pacing {
  unsigned beat;    // after a heading
  unsigned logGap;  // between proxy-log lines
  unsigned linger;  // time spent in the world before going back to the menus
};
constexpr Pacing kForPeople{500, 1500, 2500};
constexpr Pacing kForTests{0, 150, 1100};

// The service reacts within one 250 ms presence tick; these limits leave room for slow machines.
constexpr unsigned kEventTimeoutMs = 5000;
constexpr unsigned kQuietMs = 1000;  // four ticks without an update count as "unchanged"
constexpr unsigned kExitTimeoutMs = 5000;
// How long a frame at the stand-in waits for the service's line about it (written just after the
// frame), so that the cause is shown before its effect.
constexpr unsigned kCauseTimeoutMs = 2000;

constexpr std::string_view kLogName = protocol::kProxyLogFileName;

// What Discord is expected to be asked to show next.
struct Expected {
  bool cleared = false;
  std::string details;
  std::string state;
  bool timed = false;  // with a start time (the Playing state)
};

// The texts the service sends for a game state.
Expected sentFor(PresenceState::Kind kind) {
  const ActivityTexts texts = activityTexts(kind);
  return {false, texts.details, texts.state, kind == PresenceState::Kind::Playing};
}
Expected menus() { return sentFor(PresenceState::Kind::Menus); }
Expected creating() { return sentFor(PresenceState::Kind::Creating); }
Expected playing() { return sentFor(PresenceState::Kind::Playing); }
Expected cleared() { return {true, "", "", false}; }

std::string describeExpected(const Expected& e) {
  if (e.cleared) return "a cleared activity";
  return "\"" + e.details + "\" / \"" + e.state + "\"";
}

std::string trimLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

bool timedOut(const Result<std::string>& read) { return read.code() == kit::Code::kTimedOut; }

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "00:40:00 UTC" for a time in Unix seconds.
std::string clockTimeUtc(std::uint64_t unixSeconds) {
  const std::uint64_t ofDay = unixSeconds % 86400;
  char text[16];
  std::snprintf(text, sizeof(text), "%02u:%02u:%02u UTC", static_cast<unsigned>(ofDay / 3600),
                static_cast<unsigned>(ofDay / 60 % 60), static_cast<unsigned>(ofDay % 60));
  return text;
}

class Session {
 public:
  explicit Session(const DemoOptions& options)
      : options_(options), pacing_(options.fast ? kForTests : kForPeople) {}
  ~Session() { cleanUp(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Status run() {
    timeline_.note("korvessa-client-services: one launcher session, step by step");
    for (Status (Session::*step)() :
         {&Session::prepare, &Session::startService, &Session::handOverTicket, &Session::startGame,
          &Session::followProxyLog, &Session::endGameAndLauncher}) {
      Status done = (this->*step)();
      if (!done.ok()) return done;
    }
    timeline_.note("");
    timeline_.event("demo", "every step checked out");
    return Status::success();
  }

 private:
  // ---- Steps ------------------------------------------------------------------------------

  Status prepare() {
    Result<std::string> suffix = kit::secureRandomHex(6);
    if (!suffix.ok()) return fail("No random name for the demo's directory: " + suffix.error() + ".");
    std::error_code error;
    root_ = fs::temp_directory_path(error) / ("kcs-demo-" + *suffix);
    clientDir_ = root_ / "client";
    if (error || !fs::create_directories(clientDir_, error)) {
      return fail("The demo could not create its temporary directory " + root_.string() + ".");
    }
    timeline_.event("demo", "game client directory " + clientDir_.string());

    // Lines of an earlier game session are already in the log; the new session's offset skips
    // them, so their "in the world" marker does not count.
    logPath_ = clientDir_ / kLogName;
    appendLog("proxy: Parsed owned SMSG_CHAR_ENUM, 2 characters (earlier session)");
    appendLog("proxy: S->C preview=000C3D000000 (earlier session, in the world)");
    timeline_.event("proxy log", std::string(kLogName) + " holds 2 lines from an earlier session (" +
                                     std::to_string(logSize()) + " bytes)");

    if (options_.realDiscord) {
      timeline_.event("demo", "using your own Discord client (--real-discord)");
      return Status::success();
    }
    // A private runtime directory: the stand-in listens there and the service looks there, so a
    // real Discord of the user is never touched.
    const fs::path runtime = root_ / "run";
    if (!fs::create_directories(runtime, error)) {
      return fail("The demo could not create its runtime directory " + runtime.string() + ".");
    }
    serviceEnvironment_.push_back("XDG_RUNTIME_DIR=" + runtime.string());
    fs::path standin = fs::path(options_.toolsDir) / "discord-standin";
    std::error_code missing;
    if (!fs::exists(standin, missing)) standin += ".exe";  // the Windows build's name
    const std::string standinPath = standin.string();
    kit::ChildOptions childOptions;
    childOptions.pipeStdin = false;
    childOptions.pipeStderr = false;
    childOptions.environment = serviceEnvironment_;
    auto started = ChildProcess::start(standinPath, {}, childOptions);
    if (!started.ok()) {
      return fail("The Discord stand-in could not be started from " + standinPath + ".");
    }
    discord_ = std::move(started).value();
    Result<std::string> listening = discord_->readStdoutLine(kEventTimeoutMs);
    if (!listening.ok() || listening->rfind("listening ", 0) != 0) {
      return fail("The Discord stand-in did not start listening.");
    }
    timeline_.event("discord", "stand-in listening at " + trimLineEnd(listening->substr(10)));
    return Status::success();
  }

  Status startService() {
    heading("1. The launcher starts the service");
    auto launcher = startStandIn();
    if (!launcher.ok()) return fail("The launcher stand-in could not be started: " + launcher.error() + ".");
    launcher_ = std::move(launcher).value();
    timeline_.event("launcher", "stand-in running as pid " + std::to_string(launcher_->pid()) +
                                    "; the service lives as long as it does");

    Result<std::string> token = kit::generateAccessToken();
    if (!token.ok()) return fail("No access token could be generated: " + token.error() + ".");
    timeline_.event("launcher", "fresh access token from the system's secure random source: " +
                                    std::to_string(kit::kTokenRandomBytes) + " bytes as " +
                                    std::to_string(token->size()) + " hex digits (" +
                                    token->substr(0, 8) + "...)");

    kit::SidecarOptions sidecarOptions;
    sidecarOptions.servicePath = options_.servicePath;
    sidecarOptions.clientDir = clientDir_.string();
    sidecarOptions.token = *token;
    sidecarOptions.launcherPid = launcher_->pid();
    sidecarOptions.environment = serviceEnvironment_;
    sidecarOptions.onDiagnostic = diagnostics_.handler();
    Result<kit::Sidecar> sidecar = kit::Sidecar::start(std::move(sidecarOptions));
    if (!sidecar.ok()) return fail("Starting the service failed: " + sidecar.error() + ".");
    service_ = std::make_unique<kit::Sidecar>(std::move(sidecar).value());

    timeline_.event("launcher", "started korvessa-client-services --launcher-pid " +
                                    std::to_string(service_->launcherPid()) + " (service pid " +
                                    std::to_string(service_->pid()) + ")");
    Result<std::string> shown = kit::configurationLine(token->substr(0, 8) + "...", clientDir_.string());
    timeline_.event("launcher", "wrote the configuration line " + trimLineEnd(shown.ok() ? *shown : ""));
    timeline_.event("service", "announced " + service_->url());

    // The kit succeeds only on exactly this reply.
    Status health = service_->checkHealth();
    if (!health.ok()) return fail("The health check failed: " + health.error() + ".");
    timeline_.event("launcher", "GET /health -> " + std::string(protocol::kStatusOk) + " " +
                                    std::string(protocol::kHealthBody));

    kit::HttpCall anonymous;
    anonymous.path = protocol::kHealth.path;
    Result<kit::HttpReply> refused = kit::request(service_->port(), anonymous);
    if (!refused.ok() || refused->status != 401) {
      return fail("A request without the token was not refused with 401 Unauthorized.");
    }
    timeline_.event("launcher", "GET /health without the token -> " + refused->statusText);
    return Status::success();
  }

  Status handOverTicket() {
    heading("2. The launch ticket, handed over exactly once");
    Result<std::string> secret = kit::secureRandomHex(8);
    LoginTicket ticket{"Aldric", "!aldric", "T-" + (secret.ok() ? *secret : "0"),
                       "2030-01-01T00:00:00Z", 3600};
    Status stored = service_->putLaunchTicket(ticket);
    if (!stored.ok()) return fail("Storing the launch ticket failed: " + stored.error() + ".");
    // The ticket went out, so its JSON can be had; the kit succeeds only on 204.
    timeline_.event("launcher", "PUT /launch/session " + *kit::loginTicketJson(ticket) + " -> " +
                                    std::string(protocol::kStatusNoContent));

    Result<std::optional<LoginTicket>> taken = service_->takeLaunchTicket();
    if (!taken.ok()) return fail("Taking the launch ticket failed: " + taken.error() + ".");
    if (!*taken) return fail("The first GET /launch/session found no ticket.");
    const LoginTicket& got = **taken;
    if (got.username != ticket.username || got.clientLogin != ticket.clientLogin ||
        got.ticket != ticket.ticket || got.expiresAt != ticket.expiresAt ||
        got.ttlSeconds != ticket.ttlSeconds) {
      return fail("The launch ticket that came back differs from the one stored.");
    }
    timeline_.event("client", "GET /launch/session -> " + std::string(protocol::kStatusOk) + " " +
                                  *kit::loginTicketJson(got));

    Result<std::optional<LoginTicket>> again = service_->takeLaunchTicket();
    if (!again.ok()) return fail("The second GET /launch/session failed: " + again.error() + ".");
    if (*again) return fail("The launch ticket was handed out twice.");
    timeline_.event("client", "GET /launch/session again -> " +
                                  std::string(protocol::kStatusNotFound) + " " +
                                  std::string(protocol::kNoLaunchSessionBody));
    return Status::success();
  }

  Status startGame() {
    heading("3. The game starts and is registered for presence");
    auto game = startStandIn();
    if (!game.ok()) return fail("The game stand-in could not be started: " + game.error() + ".");
    game_ = std::move(game).value();
    timeline_.event("game", "stand-in running as pid " + std::to_string(game_->pid()));

    const PresenceSession session{game_->pid(), logSize()};
    Status stored = service_->putPresenceSession(session);
    if (!stored.ok()) return fail("Registering the game failed: " + stored.error() + ".");
    timeline_.event("launcher", "PUT /presence/session " + *kit::presenceSessionJson(session) +
                                    " -> " + std::string(protocol::kStatusNoContent));
    return expect(menus(), "the newly registered game");
  }

  Status followProxyLog() {
    heading("4. The proxy log grows; Discord follows");
    struct Step {
      const char* line;
      const char* meaning;
      std::optional<Expected> shown;  // none: Discord stays as it is
    };
    const Step steps[] = {
        {"proxy: Parsed owned SMSG_CHAR_ENUM, 2 characters", "character list", std::nullopt},
        {"proxy: Rewrote CMSG_CHAR_CREATE", "character creation", creating()},
        {"proxy: S->C preview=000C3D000000", "entering the world", playing()},
        {"proxy: Parsed owned SMSG_CHAR_ENUM, 3 characters", "back at the character list", menus()},
    };
    for (const Step& step : steps) {
      if (step.shown && step.shown->details == menus().details) {
        // Time in the world, as Discord counts it, before going back to the menus.
        pause(pacing_.linger);
        drain();
        if (playStart_) {
          DiscordActivity now{game_->pid(), false, playing().details, playing().state, playStart_, ""};
          timeline_.event("discord", "still shows " + kit::describeActivity(now, platform::unixTimeSeconds()));
        }
      }
      pause(pacing_.logGap);
      appendLog(step.line);
      timeline_.event("proxy log", "+ \"" + std::string(step.line) + "\" (" + step.meaning + ")");
      Status seen = step.shown ? expect(*step.shown, step.meaning) : expectUnchanged();
      if (!seen.ok()) return seen;
    }
    return Status::success();
  }

  Status endGameAndLauncher() {
    heading("5. The game ends, then the launcher");
    pause(pacing_.logGap);
    game_->kill();
    timeline_.event("game", "stand-in ended");
    if (options_.realDiscord) {
      pause(1000);
      drain();
      timeline_.event("discord", "(the service writes no line for a clear; your Discord shows no activity now)");
    } else {
      Status clearedSeen = expect(cleared(), "the ended game");
      if (!clearedSeen.ok()) return clearedSeen;
    }

    pause(pacing_.beat);
    launcher_->kill();
    timeline_.event("launcher", "stand-in ended");
    std::optional<kit::SidecarExit> end =
        service_->waitForExit(std::chrono::milliseconds(kExitTimeoutMs));
    drain();
    if (!end) return fail("The service did not end within 5 seconds after the launcher ended.");
    if (end->exitStatus != 0) {
      return fail("The service ended " + end->describe() + " instead of with status 0.");
    }
    timeline_.event("service", "exited with status 0");
    return Status::success();
  }

  // ---- Events from the Discord endpoint and the service ------------------------------------

  // Reads what has arrived within waitMs, printing each line. Returns the first activity that
  // Discord was asked to show, as soon as it arrives.
  std::optional<DiscordActivity> pump(unsigned waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      bool received = false;
      if (discord_ && !discordEnded_) {
        Result<std::string> line = discord_->readStdoutLine(20);
        if (line.ok()) {
          received = true;
          if (auto activity = onDiscordLine(trimLineEnd(*line))) return activity;
        } else if (!timedOut(line)) {
          discordEnded_ = true;
        }
      }
      if (service_) {
        if (std::optional<std::string> line = diagnostics_.next(std::chrono::milliseconds(20))) {
          received = true;
          if (auto activity = onServiceLine(*line)) return activity;
        }
      }
      if (received) continue;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      // Nothing to wait on but the clock.
      if ((!discord_ || discordEnded_) && !service_) platform::sleepMilliseconds(20);
    }
  }

  std::optional<DiscordActivity> onDiscordLine(const std::string& line) {
    // "frame <connection> <opcode> <length> <payload>"
    if (line.rfind("frame ", 0) != 0) {
      if (line.rfind("connected ", 0) == 0) {
        awaitCause(serviceConnects_, connectionsShown_);
        timeline_.event("discord", "the service connected (connection " + line.substr(10) + ")");
      } else if (line.rfind("ended ", 0) == 0) {
        timeline_.event("discord", "the service's connection " + line.substr(6) + " ended");
      } else {
        timeline_.event("discord", line);
      }
      return std::nullopt;
    }
    std::size_t opcodeAt = line.find(' ', 6);
    std::size_t lengthAt = opcodeAt == std::string::npos ? opcodeAt : line.find(' ', opcodeAt + 1);
    std::size_t payloadAt = lengthAt == std::string::npos ? lengthAt : line.find(' ', lengthAt + 1);
    if (payloadAt == std::string::npos) {
      timeline_.event("discord", "unreadable frame line: " + line);
      return std::nullopt;
    }
    const std::string opcode = line.substr(opcodeAt + 1, lengthAt - opcodeAt - 1);
    const std::string payload = line.substr(payloadAt + 1);
    if (opcode == "0") {
      awaitCause(serviceConnects_, handshakesShown_);
      Result<std::string> application = kit::decodeHandshake(payload);
      timeline_.event("discord", application.ok() ? "handshake from application " + *application
                                                  : "malformed handshake: " + payload);
      return std::nullopt;
    }
    Result<DiscordActivity> activity = kit::decodeSetActivity(payload);
    if (!activity.ok()) {
      timeline_.event("discord", "frame not understood (" + activity.error() + "): " + payload);
      return std::nullopt;
    }
    // A clear has no service line; every other command follows one.
    if (!activity->cleared) awaitCause(serviceUpdates_, updatesShown_);
    showActivity(*activity, activity->nonce);
    return options_.realDiscord ? std::nullopt : std::optional<DiscordActivity>(*activity);
  }

  std::optional<DiscordActivity> onServiceLine(const std::string& line) {
    if (startsWith(line, kConnectedLinePrefix)) ++serviceConnects_;
    if (startsWith(line, kUpdatedLinePrefix)) ++serviceUpdates_;
    Result<DiscordActivity> activity = kit::decodePresenceLine(line);
    if (activity.ok() && activity->startSeconds) {
      timeline_.event("service", line + " -- the start time in Unix seconds, " +
                                     clockTimeUtc(*activity->startSeconds));
    } else {
      timeline_.event("service", line);
    }
    if (!options_.realDiscord) return std::nullopt;
    // Without the stand-in, the service's own line is all there is to see of an update.
    if (!activity.ok()) return std::nullopt;
    showActivity(*activity, "");
    return *activity;
  }

  // The service writes its line just after the frame, so the frame may be read first. Shows the
  // service's lines until it has written more lines of the cause's kind than effects have been
  // shown (or the time runs out), then counts the effect.
  void awaitCause(const unsigned& causes, unsigned& shown) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCauseTimeoutMs);
    while (service_ && causes <= shown && std::chrono::steady_clock::now() < deadline) {
      if (std::optional<std::string> line = diagnostics_.next(std::chrono::milliseconds(20))) {
        onServiceLine(*line);
      }
    }
    ++shown;
  }

  void showActivity(const DiscordActivity& activity, const std::string& nonce) {
    // The nonce is the service's number for the command ("korvessa-1", "korvessa-2", ...).
    std::string text = kit::describeActivity(activity, platform::unixTimeSeconds()) + " (pid " +
                       std::to_string(activity.pid) +
                       (nonce.empty() ? "" : ", command nonce " + nonce) + ")";
    timeline_.event("discord", (activity.cleared ? "" : "shows ") + text);
  }

  Status expect(const Expected& wanted, const std::string& reason) {
    if (Status clean = checkNoStray(); !clean.ok()) return clean;
    std::optional<DiscordActivity> got = pump(kEventTimeoutMs);
    if (!got) {
      if (options_.realDiscord) {
        return fail("The service reported no presence update showing " + describeExpected(wanted) +
                    " for " + reason + " within 5 seconds; is Discord running?");
      }
      return fail("The Discord stand-in received no " + describeExpected(wanted) + " for " +
                  reason + " within 5 seconds.");
    }
    const std::uint32_t pid = game_ ? game_->pid() : 0;
    const bool matches = got->cleared == wanted.cleared && got->details == wanted.details &&
                         got->state == wanted.state && got->startSeconds.has_value() == wanted.timed &&
                         got->pid == pid;
    if (!matches) {
      return fail("Discord was asked to show " + kit::describeActivity(*got, 0) + " for pid " +
                  std::to_string(got->pid) + " where " + describeExpected(wanted) + " for pid " +
                  std::to_string(pid) + " was expected.");
    }
    if (wanted.timed) {
      // The start is the service's wall clock when it saw the marker: close to ours.
      const std::uint64_t now = platform::unixTimeSeconds();
      const std::uint64_t start = *got->startSeconds;
      if (start + 120 < now || start > now + 120) {
        return fail("The activity's start time is far from the current time.");
      }
      playStart_ = start;
    }
    return Status::success();
  }

  Status expectUnchanged() {
    if (Status clean = checkNoStray(); !clean.ok()) return clean;
    std::optional<DiscordActivity> got = pump(kQuietMs);
    if (got) {
      return fail("Discord was asked to show " + kit::describeActivity(*got, 0) +
                  " although the state had not changed.");
    }
    timeline_.event("discord", "unchanged: the service sends an update only when the state changes");
    return Status::success();
  }

  // ---- Helpers -----------------------------------------------------------------------------

  Result<std::unique_ptr<ChildProcess>> startStandIn() {
    kit::ChildOptions childOptions;
    childOptions.pipeStdin = false;
    childOptions.pipeStdout = false;
    childOptions.pipeStderr = false;
    return ChildProcess::start(options_.selfPath,
                               {"--stand-in", std::to_string(platform::currentProcessId())},
                               childOptions);
  }

  void heading(const std::string& text) {
    drain();
    timeline_.heading(text);
    pause(pacing_.beat);
  }

  // Waits, showing whatever arrives meanwhile. An update that arrives here was not asked for by
  // any step; the next check reports it.
  void pause(unsigned ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      std::optional<DiscordActivity> activity = pump(static_cast<unsigned>(left.count()));
      if (activity && !stray_) stray_ = activity;
    }
  }

  // Shows what has already arrived, without waiting.
  void drain() {
    std::optional<DiscordActivity> activity = pump(0);
    if (activity && !stray_) stray_ = activity;
  }

  Status checkNoStray() {
    if (!stray_) return Status::success();
    return fail("Discord was asked to show " + kit::describeActivity(*stray_, 0) +
                " when no change was due.");
  }

  void appendLog(const std::string& line) {
    std::ofstream log(logPath_, std::ios::binary | std::ios::app);
    log << line << "\n";
  }

  std::uint64_t logSize() const {
    std::error_code error;
    std::uintmax_t size = fs::file_size(logPath_, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
  }

  void cleanUp() {
    if (service_) service_->stop();
    if (game_) game_->kill();
    if (launcher_) launcher_->kill();
    if (discord_) discord_->kill();
    if (!root_.empty()) {
      std::error_code ignored;
      fs::remove_all(root_, ignored);
    }
  }

  const DemoOptions& options_;
  const Pacing pacing_;
  Timeline timeline_;
  fs::path root_;
  fs::path clientDir_;
  fs::path logPath_;
  std::vector<std::string> serviceEnvironment_;
  std::unique_ptr<ChildProcess> discord_;
  std::unique_ptr<ChildProcess> launcher_;
  std::unique_ptr<ChildProcess> game_;
  kit::DiagnosticLines diagnostics_;  // the service's lines, as they come
  std::unique_ptr<kit::Sidecar> service_;
  bool discordEnded_ = false;
  // Causes seen on the service's standard error and their effects shown from the stand-in.
  unsigned serviceConnects_ = 0;
  unsigned serviceUpdates_ = 0;
  unsigned connectionsShown_ = 0;
  unsigned handshakesShown_ = 0;
  unsigned updatesShown_ = 0;
  std::optional<std::uint64_t> playStart_;
  std::optional<DiscordActivity> stray_;  // an update that no step expected
};

}  // namespace

int runDemo(const DemoOptions& options) {
  Status result;
  {
    Session session(options);
    result = session.run();
  }
  if (result.ok()) return 0;
  (void)platform::writeStandardError(result.error() + "\n");
  return 1;
}

int runStandIn(unsigned watchPid) {
  while (watchPid == 0 || platform::processExists(watchPid)) platform::sleepMilliseconds(250);
  return 0;
}

}  // namespace kcs::demo
