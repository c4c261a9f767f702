// Rich presence end to end: the real service, a Discord stand-in on a private runtime directory
// (so no developer's Discord is touched), a real child process as the game, and a proxy log that
// the test writes as the game's authentication proxy would.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "launcher_kit/child_process.h"
#include "launcher_kit/sidecar.h"
#include "platform/platform.h"

namespace kcs {
namespace {

namespace fs = std::filesystem;

const std::string kApplicationId = KCS_DISCORD_APPLICATION_ID;
const std::string kStandin = std::string(KCS_TOOLS_DIR) + "/discord-standin";
constexpr unsigned kWaitMs = 5000;  // generous: every step here is due within 250 ms
constexpr std::uint32_t kNoSuchPid = 2147483000u;

struct Frame {
  unsigned connection = 0;
  std::uint32_t opcode = 0;
  std::size_t length = 0;
  std::string payload;
  nlohmann::json json;
};

class PresenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    // Short, because a Unix socket path has to fit in about 100 bytes.
    root_ = fs::temp_directory_path() /
            ("kcsp-" + std::to_string(platform::currentProcessId()) + "-" + std::to_string(++counter));
    fs::remove_all(root_);
    fs::create_directories(root_ / "run");
    fs::create_directories(root_ / "client");
    environment_ = {"XDG_RUNTIME_DIR=" + (root_ / "run").string()};
  }

  void TearDown() override {
    if (sidecar_) sidecar_->stop();
    for (auto& child : children_) child->kill();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string logPath() const { return (root_ / "client" / "KorvessaAuthProxy.log").string(); }

  void appendLog(const std::string& text, bool truncate = false) {
    std::ofstream out(logPath(), std::ios::binary | (truncate ? std::ios::trunc : std::ios::app));
    out << text;
  }

  kit::ChildProcess* startStandin(std::vector<std::string> arguments) {
    kit::ChildOptions options;
    options.pipeStdin = false;
    options.pipeStderr = false;
    options.environment = environment_;
    auto child = kit::ChildProcess::start(kStandin, arguments, options);
    EXPECT_TRUE(child.ok()) << child.error();
    if (!child.ok()) return nullptr;
    children_.push_back(std::move(child).value());
    kit::ChildProcess* standin = children_.back().get();
    Result<std::string> ready = standin->readStdoutLine(kWaitMs);
    EXPECT_TRUE(ready.ok() && ready->rfind("listening ", 0) == 0) << (ready.ok() ? *ready : ready.error());
    return standin;
  }

  kit::ChildProcess* startGame() {
    kit::ChildOptions quiet;
    quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
    auto child = kit::ChildProcess::start("sleep", {"120"}, quiet);
    EXPECT_TRUE(child.ok()) << child.error();
    children_.push_back(std::move(child).value());
    return children_.back().get();
  }

  void startService() {
    kit::SidecarOptions options;
    options.servicePath = KCS_SERVICE_PATH;
    options.clientDir = (root_ / "client").string();
    options.environment = environment_;
    options.pipeDiagnostics = true;
    Result<kit::Sidecar> sidecar = kit::Sidecar::start(options);
    ASSERT_TRUE(sidecar.ok()) << sidecar.error();
    sidecar_ = std::make_unique<kit::Sidecar>(std::move(sidecar).value());
  }

  void follow(std::uint32_t pid, std::uint64_t logOffset = 0) {
    Result<kit::HttpReply> reply = sidecar_->putPresenceSession({pid, logOffset});
    ASSERT_TRUE(reply.ok()) << reply.error();
  }

  std::string diagnostic() {
    Result<std::string> line = sidecar_->readDiagnosticLine(kWaitMs);
    return line.ok() ? *line : "<" + line.error() + ">";
  }

  static std::string nextLine(kit::ChildProcess* standin, unsigned timeoutMs = kWaitMs) {
    Result<std::string> line = standin->readStdoutLine(timeoutMs);
    return line.ok() ? *line : "<" + line.error() + ">";
  }

  // The next frame the stand-in printed, skipping connection events.
  static Frame nextFrame(kit::ChildProcess* standin, unsigned timeoutMs = kWaitMs) {
    for (;;) {
      std::string line = nextLine(standin, timeoutMs);
      if (line.rfind("connected ", 0) == 0 || line.rfind("ended ", 0) == 0) continue;
      Frame frame;
      char payload[1024] = {};
      unsigned long length = 0;
      if (std::sscanf(line.c_str(), "frame %u %u %lu %1023[^\n]", &frame.connection, &frame.opcode,
                      &length, payload) != 4) {
        ADD_FAILURE() << "not a frame: " << line;
        return frame;
      }
      frame.length = length;
      frame.payload = payload;
      frame.json = nlohmann::json::parse(frame.payload, nullptr, false);
      return frame;
    }
  }

  static void expectHandshake(const Frame& frame) {
    EXPECT_EQ(frame.opcode, 0u);
    EXPECT_EQ(frame.length, 41u);
    EXPECT_EQ(frame.payload, R"({"client_id":")" + kApplicationId + R"(","v":1})");
  }

  static void expectSet(const Frame& frame, std::uint32_t pid, const char* details,
                        const char* stateText, int nonce) {
    EXPECT_EQ(frame.opcode, 1u);
    EXPECT_EQ(frame.length, frame.payload.size());
    EXPECT_EQ(frame.json["cmd"], "SET_ACTIVITY") << frame.payload;
    EXPECT_EQ(frame.json["args"]["pid"], pid) << frame.payload;
    EXPECT_EQ(frame.json["args"]["activity"]["details"], details) << frame.payload;
    EXPECT_EQ(frame.json["args"]["activity"]["state"], stateText) << frame.payload;
    EXPECT_EQ(frame.json["nonce"], "korvessa-" + std::to_string(nonce)) << frame.payload;
  }

  static void expectClear(const Frame& frame, std::uint32_t pid, int nonce) {
    EXPECT_EQ(frame.payload, R"({"args":{"activity":null,"pid":)" + std::to_string(pid) +
                                 R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-)" +
                                 std::to_string(nonce) + R"("})");
  }

  fs::path root_;
  std::vector<std::string> environment_;
  std::vector<std::unique_ptr<kit::ChildProcess>> children_;
  std::unique_ptr<kit::Sidecar> sidecar_;
};

TEST_F(PresenceTest, FollowsAGameFromMenusToPlayingAndClearsWhenItEnds) {
  kit::ChildProcess* standin = startStandin({"--index", "3"});  // 0 to 2 are not there
  startService();
  kit::ChildProcess* game = startGame();
  const std::uint32_t pid = game->pid();
  follow(pid);  // no log yet

  EXPECT_EQ(nextLine(standin), "connected 1\n");
  expectHandshake(nextFrame(standin));
  Frame menus = nextFrame(standin);
  expectSet(menus, pid, "In the menus", "Duskmere", 1);
  EXPECT_EQ(menus.length, 141 + std::to_string(pid).size() + 1);
  EXPECT_FALSE(menus.json["args"]["activity"].contains("timestamps"));
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Menus\n");

  appendLog("12:00:01 Rewrote CMSG_CHAR_CREATE name=Ann\r\n");
  expectSet(nextFrame(standin), pid, "Creating an Adventurer", "Duskmere", 2);
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Creating\n");

  const std::uint64_t before = platform::unixTimeSeconds();
  appendLog("12:00:09 C->S preview=000C3D000000\n");
  Frame playing = nextFrame(standin);
  expectSet(playing, pid, "Playing on Duskmere", "Adventurer", 3);
  const std::uint64_t start = playing.json["args"]["activity"]["timestamps"]["start"];
  EXPECT_GE(start, before);
  EXPECT_LE(start, platform::unixTimeSeconds());
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Playing(" +
                              std::to_string(start) + ")\n");

  // A second Playing marker changes nothing, so the next frame is the clear.
  appendLog("12:00:30 C->S preview=00083D000000\n");
  platform::sleepMilliseconds(600);
  game->kill();
  expectClear(nextFrame(standin), pid, 4);
}

TEST_F(PresenceTest, OffsetsTruncationAndAReplacedGame) {
  kit::ChildProcess* standin = startStandin({});
  appendLog("Rewrote CMSG_CHAR_CREATE\n");  // 25 bytes
  startService();
  kit::ChildProcess* first = startGame();
  follow(first->pid(), 1000);  // beyond the end: the whole log is read
  expectHandshake(nextFrame(standin));
  expectSet(nextFrame(standin), first->pid(), "Creating an Adventurer", "Duskmere", 1);

  // Another game replaces the first one; its part of the log starts at byte 25. The old
  // activity is not cleared, the new game starts in the menus.
  kit::ChildProcess* second = startGame();
  follow(second->pid(), 25);
  expectSet(nextFrame(standin), second->pid(), "In the menus", "Duskmere", 2);

  // Truncated below the read offset: read again from the start.
  appendLog("preview=000C3D000000\n", true);
  expectSet(nextFrame(standin), second->pid(), "Playing on Duskmere", "Adventurer", 3);
}

TEST_F(PresenceTest, ADeadPidIsDroppedWithAClearForTheGameFollowedBefore) {
  kit::ChildProcess* standin = startStandin({});
  startService();
  kit::ChildProcess* game = startGame();
  const std::uint32_t pid = game->pid();
  follow(pid);
  expectHandshake(nextFrame(standin));
  expectSet(nextFrame(standin), pid, "In the menus", "Duskmere", 1);
  game->kill();
  expectClear(nextFrame(standin), pid, 2);

  // No game is followed any more; a session for a pid that does not exist clears "pid 0" on
  // the connection that is still open, and is dropped.
  follow(kNoSuchPid);
  expectClear(nextFrame(standin), 0, 3);
  // Nothing further: no activity is shown for it, and the slot was emptied.
  EXPECT_EQ(nextLine(standin, 1000).rfind("<", 0), 0u);

  // A new game after that is shown afresh on the same connection.
  kit::ChildProcess* next = startGame();
  follow(next->pid());
  expectSet(nextFrame(standin), next->pid(), "In the menus", "Duskmere", 4);
}

TEST_F(PresenceTest, WaitsQuietlyForDiscordAndReconnectsAfterARestart) {
  startService();
  kit::ChildProcess* game = startGame();
  const std::uint32_t pid = game->pid();
  follow(pid);
  // No Discord: nothing is printed, the worker keeps trying.
  Result<std::string> quiet = sidecar_->readDiagnosticLine(1000);
  EXPECT_FALSE(quiet.ok()) << *quiet;

  kit::ChildProcess* first = startStandin({});
  expectHandshake(nextFrame(first));
  expectSet(nextFrame(first), pid, "In the menus", "Duskmere", 1);
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Menus\n");

  // Discord restarts. Nothing is noticed until the state changes; that update fails once and
  // the next tick reconnects and shows it, numbering from 1 again.
  first->kill();
  kit::ChildProcess* second = startStandin({});
  appendLog("Rewrote CMSG_CHAR_CREATE\n");
  EXPECT_EQ(diagnostic(), "Discord presence connection lost; retrying\n");
  expectHandshake(nextFrame(second));
  expectSet(nextFrame(second), pid, "Creating an Adventurer", "Duskmere", 1);
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Creating\n");
}

TEST_F(PresenceTest, ADiscordThatNeverReadsDoesNotStopTheHttpService) {
  kit::ChildProcess* standin = startStandin({"--no-read"});
  startService();
  kit::ChildProcess* game = startGame();
  follow(game->pid());
  EXPECT_EQ(nextLine(standin), "connected 1\n");
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  for (int i = 0; i < 5; ++i) {
    Result<kit::HttpReply> health = sidecar_->checkHealth();
    EXPECT_TRUE(health.ok()) << health.error();
    follow(game->pid());
  }
}

}  // namespace
}  // namespace kcs
