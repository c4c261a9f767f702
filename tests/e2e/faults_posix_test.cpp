// Presence under faults, end to end: a Discord endpoint that refuses, stalls, belongs to another
// user or closes mid-session, a proxy log that is replaced, deleted, rewritten, holds invalid
// UTF-8 or cut lines, is a FIFO or is a gigabyte long, and a game that is replaced in the slot
// just as it ends. The real service, the Discord stand-in on a private runtime directory, sleep
// processes as games.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "discord_ipc/ipc_listener.h"
#include "support/presence_rig.h"
#include "support/process_memory.h"

namespace kcs {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kQuietMs = 1000;  // four ticks in which nothing may happen

// One event line of the stand-in, with the frame's JSON when it is a frame.
struct Event {
  std::string line;
  nlohmann::json json;  // discarded unless the line is a frame
  std::string kind() const { return line.substr(0, line.find(' ')); }
};

class FaultsTest : public testing::PresenceRig {
 protected:
  // A new file put in place of the log, as a proxy that rotates its log would.
  void replaceLog(const std::string& bytes) {
    const fs::path fresh = root_ / "client" / "fresh.log";
    std::ofstream(fresh, std::ios::binary) << bytes;
    fs::rename(fresh, logPath());
  }

  std::uint32_t startGame() { return PresenceRig::startGame()->pid(); }

  void endGame(std::uint32_t pid) {
    for (auto& child : children_) {
      if (child->pid() == pid) child->kill();
    }
  }

  // A Unix stream socket listening at path with this backlog (a descriptor owned by the caller).
  static int listenAt(const fs::path& path, int backlog) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, backlog) != 0) {
      return -1;
    }
    return listener;
  }

  // A listener at path that never accepts and whose backlog is full, as a hung Discord leaves it:
  // a blocking connect there waits for ever.
  bool fullListener(const fs::path& path) {
    const int listener = listenAt(path, 0);
    if (listener < 0) return false;
    held_.emplace_back(listener);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    for (int i = 0; i < 64; ++i) {
      const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (client < 0) return false;
      held_.emplace_back(client);
      if (::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return errno == EAGAIN;
      }
    }
    return false;
  }

  static Event nextEvent(kit::ChildProcess* standin, unsigned timeoutMs = kWaitMs) {
    Event event{nextLine(standin, timeoutMs), nlohmann::json::value_t::discarded};
    if (event.kind() == "frame") {
      // "frame <connection> <opcode> <length> <payload>"
      std::size_t at = 0;
      for (int field = 0; field < 4 && at != std::string::npos; ++field) at = event.line.find(' ', at + 1);
      if (at != std::string::npos) event.json = nlohmann::json::parse(event.line.substr(at + 1), nullptr, false);
    }
    return event;
  }

  // The next frame, skipping connection events; its details text, or "clear", or "handshake".
  static std::string nextShown(kit::ChildProcess* standin, std::uint32_t* pid = nullptr,
                               unsigned timeoutMs = kWaitMs) {
    for (;;) {
      Event event = nextEvent(standin, timeoutMs);
      if (event.kind() == "connected" || event.kind() == "closed" || event.kind() == "ended") {
        continue;
      }
      if (event.kind() != "frame" || event.json.is_discarded()) return event.line;
      if (event.json.contains("client_id")) return "handshake";
      const nlohmann::json& args = event.json["args"];
      if (pid) *pid = args["pid"].get<std::uint32_t>();
      if (args["activity"].is_null()) return "clear";
      return args["activity"]["details"].get<std::string>() + " #" +
             event.json["nonce"].get<std::string>().substr(9);
    }
  }

  std::vector<platform::File> held_;  // sockets of the test's own listeners and clients

};

TEST_F(FaultsTest, EndpointsThatRefuseOrStallArePassedOverQuietly) {
  // A socket left behind by a Discord that died: the name exists, nobody accepts.
  {
    Result<ipc::IpcListener> stale =
        ipc::listenIpc((root_ / "run" / "discord-ipc-0").string());
    ASSERT_TRUE(stale.ok()) << stale.error();
  }
  // A Discord that hangs: it listens but accepts nothing, and its backlog is full.
  ASSERT_TRUE(fullListener(root_ / "run" / "discord-ipc-1"));
  startService();
  const std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(diagnostic(kQuietMs), "<none>");
  kit::Status health = sidecar_->checkHealth();
  EXPECT_TRUE(health.ok()) << health.error();

  kit::ChildProcess* standin = startStandin({"--index", "2"});
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");
  EXPECT_EQ(diagnostic().rfind("Discord IPC connected application=", 0), 0u);
}

TEST_F(FaultsTest, PresenceGoesOnWhenTheLauncherStopsReadingStandardError) {
  // A launcher that drops the service's standard error before its first line, or in the middle
  // of a session: the lines are lost, the frames still go out, and the service keeps serving.
  kit::ChildProcess* standin = startStandin({});
  for (const bool midSession : {false, true}) {
    SCOPED_TRACE(midSession ? "closed mid-session" : "closed before the first line");
    startService();
    if (!midSession) dropDiagnostics();
    writeLog("", false);
    const std::uint32_t game = startGame();
    follow(game);
    EXPECT_EQ(nextShown(standin), "handshake");
    EXPECT_EQ(nextShown(standin), "In the menus #1");
    if (midSession) {
      EXPECT_EQ(diagnostic().rfind("Discord IPC connected", 0), 0u);
      EXPECT_EQ(diagnostic().rfind("Discord presence updated", 0), 0u);
      dropDiagnostics();
    }
    writeLog("Rewrote CMSG_CHAR_CREATE\n");
    EXPECT_EQ(nextShown(standin), "Creating an Adventurer #2");
    writeLog("preview=000C3D000000\n");
    EXPECT_EQ(nextShown(standin), "Playing on Duskmere #3");
    EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value()) << "the service ended";
    kit::Status health = sidecar_->checkHealth();
    EXPECT_TRUE(health.ok()) << health.error();
    endGame(game);
    EXPECT_EQ(nextShown(standin), "clear");
  }
}

TEST_F(FaultsTest, TheStandinTakesAStaleEndpointButNeverALiveOne) {
  const std::string endpoint = (root_ / "run" / "discord-ipc-0").string();
  {
    Result<ipc::IpcListener> stale = ipc::listenIpc(endpoint);
    ASSERT_TRUE(stale.ok()) << stale.error();
  }
  kit::ChildProcess* live = startStandin({});  // replaces the stale socket

  kit::ChildOptions options;
  options.pipeStdin = false;
  options.environment = environment_;
  auto second = kit::ChildProcess::start(std::string(KCS_TOOLS_DIR) + "/discord-standin", {}, options);
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_EQ((*second)->wait(kWaitMs), 1);
  const std::string refusal = (*second)->readStderrToEnd(kWaitMs).value();
  EXPECT_NE(refusal.find(endpoint + " is already served"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("--index"), std::string::npos) << refusal;
  EXPECT_EQ((*second)->readStdoutToEnd(kWaitMs).value(), "");

  // The first stand-in still holds the endpoint: the service's handshake reaches it.
  startService();
  follow(startGame());
  EXPECT_EQ(nextShown(live), "handshake");
}

TEST_F(FaultsTest, AnEndpointOfAnotherUserIsPassedOverWithoutAByteSent) {
  if (::geteuid() != 0) GTEST_SKIP() << "listening as another user needs root";
  // The shared-folder case: another user listens under Discord's first name.
  fs::permissions(root_ / "run", fs::perms::all);
  const fs::path endpoint = root_ / "run" / "discord-ipc-0";  // made before fork: no allocation after
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t other = ::fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    // The other user: tells the test it listens, then how many bytes its first client sent.
    ::close(report[0]);
    const uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(1);
    const int listener = listenAt(endpoint, 4);
    if (listener < 0 || ::write(report[1], "L", 1) != 1) ::_exit(1);
    const int client = ::accept(listener, nullptr, nullptr);
    char buffer[256];
    ssize_t total = 0;
    for (ssize_t n; (n = ::read(client, buffer, sizeof(buffer))) > 0;) total += n;
    const char sent = total == 0 ? '0' : '+';
    ::_exit(::write(report[1], &sent, 1) == 1 ? 0 : 1);
  }
  ::close(report[1]);
  held_.emplace_back(report[0]);
  struct Reap {
    pid_t pid;
    ~Reap() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reap{other};
  // The next byte from the other user, or 'T' after the wait.
  const auto nextReport = [&] {
    pollfd ready{report[0], POLLIN, 0};
    char c = 'T';
    if (::poll(&ready, 1, kWaitMs) != 1 || ::read(report[0], &c, 1) != 1) return 'T';
    return c;
  };
  ASSERT_EQ(nextReport(), 'L');

  kit::ChildProcess* standin = startStandin({"--index", "1"});
  startService();
  follow(startGame());
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");
  // The other user's endpoint was opened and closed again without a byte.
  EXPECT_EQ(nextReport(), '0');
}

TEST_F(FaultsTest, AFifoInTheLogsPlaceIsNotWaitedFor) {
  // Nobody ever writes to it: an open that waited for a writer would hold the worker for good.
  ASSERT_EQ(::mkfifo(logPath().c_str(), 0600), 0);
  kit::ChildProcess* standin = startStandin({});
  startService();
  const std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");
  endGame(game);
  EXPECT_EQ(nextShown(standin), "clear");
}

TEST_F(FaultsTest, AnEndpointThatClosesMidSessionIsReconnectedAtTheNextChange) {
  // The stand-in closes every connection after its second frame (handshake and one update).
  kit::ChildProcess* standin = startStandin({"--close-after", "2"});
  startService();
  const std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");
  EXPECT_EQ(diagnostic().rfind("Discord IPC connected", 0), 0u);
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(game) + " state=Menus\n");

  for (const auto& [marker, details] :
       {std::pair{"Rewrote CMSG_CHAR_CREATE\n", "Creating an Adventurer"},
        std::pair{"preview=000C3D000000\n", "Playing on Duskmere"}}) {
    writeLog(marker, true);
    EXPECT_EQ(diagnostic(), "Discord presence connection lost; retrying\n");
    EXPECT_EQ(nextShown(standin), "handshake");
    EXPECT_EQ(nextShown(standin), std::string(details) + " #1");
    EXPECT_EQ(diagnostic().rfind("Discord IPC connected", 0), 0u);
    EXPECT_EQ(diagnostic().rfind("Discord presence updated", 0), 0u);
  }
  EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value());
}

TEST_F(FaultsTest, ALogThatIsReplacedDeletedAndWrittenAgainIsFollowed) {
  kit::ChildProcess* standin = startStandin({});
  writeLog("Rewrote CMSG_CHAR_CREATE\n", false);  // 25 bytes
  startService();
  follow(startGame());
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "Creating an Adventurer #1");

  // Replaced by a shorter file: read from its start.
  replaceLog("preview=000C3D000000\n");  // 21 bytes
  EXPECT_EQ(nextShown(standin), "Playing on Duskmere #2");

  // Deleted: nothing to read, nothing changes, nothing is sent.
  fs::remove(logPath());
  EXPECT_EQ(nextEvent(standin, kQuietMs).line, "<none>");

  // Written again, shorter than what was read before: read from its start.
  writeLog("preview=00044B000000", false);  // 20 bytes, no line feed yet
  EXPECT_EQ(nextShown(standin), "In the menus #3");
  EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value());
}

TEST_F(FaultsTest, InvalidUtf8IsReadPastAndCutTextWaitsForItsEnd) {
  kit::ChildProcess* standin = startStandin({});
  startService();
  follow(startGame());
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");

  // A character cut in half at the end is not scanned yet; once complete, its line counts.
  writeLog("C->S preview=000C3D000000 \xC3", true);
  EXPECT_EQ(nextShown(standin), "Playing on Duskmere #2");
  writeLog("\xA9\n", true);
  EXPECT_EQ(nextEvent(standin, kQuietMs).line, "<none>");  // the same line again: no change

  // Bytes of a legacy code page do not hold back the lines behind them.
  writeLog("\xFF\xFE caf\xE9 Rewrote CMSG_CHAR_CREATE\n", true);
  EXPECT_EQ(nextShown(standin), "Creating an Adventurer #3");
  writeLog("\x80\n", true);
  writeLog("Parsed owned SMSG_CHAR_ENUM\n", true);
  EXPECT_EQ(nextShown(standin), "In the menus #4");

  // A marker line written in two goes, a tick or more apart, is still seen.
  writeLog("x Rewrote CMSG_CHA", true);
  EXPECT_EQ(nextEvent(standin, kQuietMs).line, "<none>");
  writeLog("R_CREATE\n", true);
  EXPECT_EQ(nextShown(standin), "Creating an Adventurer #5");
  EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value());
}

// A log far larger than the service should ever hold, read from offset 0: a marker on its first
// line, then a hole of zeros (one line as long as the file), then a plain last line, so the whole
// file must be read to find the state. Sanitized builds read a quarter of it: they are slower,
// and the point is the bound, not the size.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kBigLogBytes = std::uint64_t{256} << 20;
#else
constexpr std::uint64_t kBigLogBytes = std::uint64_t{1} << 30;
#endif
constexpr long kResidentLimitKiB = 64 * 1024;

TEST_F(FaultsTest, AGigabyteLogIsReadInBoundedMemory) {
  kit::ChildProcess* standin = startStandin({});
  writeLog("Rewrote CMSG_CHAR_CREATE\n", false);
  fs::resize_file(logPath(), kBigLogBytes - 6);
  writeLog("noise\n", true);
  ASSERT_EQ(fs::file_size(logPath()), kBigLogBytes);

  startService();
  std::atomic<bool> done{false};
  std::atomic<long> peakKiB{0};
  std::thread sampler([&] {
    while (!done) {
      if (std::optional<long> kib = testing::residentKiB(sidecar_->pid())) {
        peakKiB = std::max(peakKiB.load(), *kib);
      }
      platform::sleepMilliseconds(5);
    }
  });
  follow(startGame());
  EXPECT_EQ(nextShown(standin), "handshake");
  // The first tick may come before or after the reading; a slow build may need more time.
  std::string shown = nextShown(standin, nullptr, 60000);
  if (shown == "In the menus #1") shown = nextShown(standin, nullptr, 60000);
  EXPECT_EQ(shown.substr(0, 22), "Creating an Adventurer");
  // New lines after it cost one small read.
  writeLog("preview=000C3D000000\n", true);
  EXPECT_EQ(nextShown(standin).substr(0, 19), "Playing on Duskmere");
  done = true;
  sampler.join();
  EXPECT_GT(peakKiB.load(), 0);
  EXPECT_LT(peakKiB.load(), kResidentLimitKiB) << "peak resident size " << peakKiB.load() << " KiB";
  RecordProperty("peak_resident_kib", std::to_string(peakKiB.load()));
  std::printf("%llu MiB log read from offset 0: peak resident size %ld KiB\n",
              static_cast<unsigned long long>(kBigLogBytes >> 20), peakKiB.load());
  EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value());
}

// A game that has ended but that its parent (here this test, usually the launcher) has not reaped
// yet is gone: its activity is cleared on the next tick.
TEST_F(FaultsTest, AGameThatEndedIsClearedBeforeItIsReaped) {
  kit::ChildProcess* standin = startStandin({});
  startService();
  const std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin).substr(0, 12), "In the menus");

  ASSERT_EQ(::kill(static_cast<pid_t>(game), SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, game, &info, WEXITED | WNOWAIT), 0);  // ended, left unreaped
  std::uint32_t clearedFor = 0;
  EXPECT_EQ(nextShown(standin, &clearedFor), "clear");
  EXPECT_EQ(clearedFor, game);
  info = {};
  EXPECT_EQ(::waitid(P_PID, game, &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(info.si_pid, static_cast<pid_t>(game)) << "reaped by someone else";
}

TEST_F(FaultsTest, AGameReplacedInTheSlotAsItEndsIsFollowedWhateverTheOrder) {
  // The old game ends and a new one is stored right away: the worker may see the new session
  // first or the old game gone first. Either way the new game must be shown and followed.
  kit::ChildProcess* standin = startStandin({});
  startService();
  std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(nextShown(standin), "handshake");
  std::uint32_t shownFor = 0;
  EXPECT_EQ(nextShown(standin, &shownFor).substr(0, 12), "In the menus");
  EXPECT_EQ(shownFor, game);

  for (int round = 0; round < 4; ++round) {
    const std::uint32_t next = startGame();
    endGame(game);
    follow(next);
    game = next;
    std::string shown = nextShown(standin, &shownFor);
    if (shown == "clear") shown = nextShown(standin, &shownFor);  // the old game noticed first
    EXPECT_EQ(shown.substr(0, 12), "In the menus") << "round " << round;
    EXPECT_EQ(shownFor, game) << "round " << round;

    // Still followed: its log changes are shown for it.
    writeLog(round % 2 == 0 ? "Rewrote CMSG_CHAR_CREATE\n" : "preview=000C36000000\n", true);
    EXPECT_EQ(nextShown(standin, &shownFor).substr(0, 22), "Creating an Adventurer");
    EXPECT_EQ(shownFor, game);
    writeLog("Parsed owned SMSG_CHAR_ENUM\n", true);  // back to the menus for the next round
    EXPECT_EQ(nextShown(standin).substr(0, 12), "In the menus");
  }
}

}  // namespace
}  // namespace kcs
