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

#include "support/presence_rig.h"

namespace kcs {
namespace {

namespace fs = std::filesystem;

const std::string kApplicationId = KCS_DISCORD_APPLICATION_ID;
constexpr std::uint32_t kNoSuchPid = 2147483000u;

struct Frame {
  unsigned connection = 0;
  std::uint32_t opcode = 0;
  std::size_t length = 0;
  std::string payload;
  nlohmann::json json;
};

class PresenceTest : public testing::PresenceRig {
 protected:
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

  // The service following a new game, shown in the menus on the stand-in's first connection.
  kit::ChildProcess* followGameInMenus(kit::ChildProcess* standin) {
    startService();
    kit::ChildProcess* game = startGame();
    follow(game->pid());
    expectHandshake(nextFrame(standin));
    expectSet(nextFrame(standin), game->pid(), "In the menus", "Duskmere", 1);
    return game;
  }

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

  writeLog("12:00:01 Rewrote CMSG_CHAR_CREATE name=Ann\r\n");
  expectSet(nextFrame(standin), pid, "Creating an Adventurer", "Duskmere", 2);
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Creating\n");

  const std::uint64_t before = platform::unixTimeSeconds();
  writeLog("12:00:09 C->S preview=000C3D000000\n");
  Frame playing = nextFrame(standin);
  expectSet(playing, pid, "Playing on Duskmere", "Adventurer", 3);
  const std::uint64_t start = playing.json["args"]["activity"]["timestamps"]["start"];
  EXPECT_GE(start, before);
  EXPECT_LE(start, platform::unixTimeSeconds());
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Playing(" +
                              std::to_string(start) + ")\n");

  // A second Playing marker changes nothing, so the next frame is the clear.
  writeLog("12:00:30 C->S preview=00083D000000\n");
  platform::sleepMilliseconds(600);
  game->kill();
  expectClear(nextFrame(standin), pid, 4);
}

TEST_F(PresenceTest, OffsetsTruncationAndAReplacedGame) {
  kit::ChildProcess* standin = startStandin({});
  writeLog("Rewrote CMSG_CHAR_CREATE\n");  // 25 bytes
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
  writeLog("preview=000C3D000000\n", false);
  expectSet(nextFrame(standin), second->pid(), "Playing on Duskmere", "Adventurer", 3);
}

TEST_F(PresenceTest, ADeadPidIsDroppedWithAClearForTheGameFollowedBefore) {
  kit::ChildProcess* standin = startStandin({});
  kit::ChildProcess* game = followGameInMenus(standin);
  const std::uint32_t pid = game->pid();
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
  EXPECT_EQ(diagnostic(1000), "<none>");

  kit::ChildProcess* first = startStandin({});
  expectHandshake(nextFrame(first));
  expectSet(nextFrame(first), pid, "In the menus", "Duskmere", 1);
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Menus\n");

  // Discord restarts. Nothing is noticed until the state changes; that update fails once and
  // the next tick reconnects and shows it, numbering from 1 again.
  first->kill();
  kit::ChildProcess* second = startStandin({});
  writeLog("Rewrote CMSG_CHAR_CREATE\n");
  EXPECT_EQ(diagnostic(), "Discord presence connection lost; retrying\n");
  expectHandshake(nextFrame(second));
  expectSet(nextFrame(second), pid, "Creating an Adventurer", "Duskmere", 1);
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  EXPECT_EQ(diagnostic(), "Discord presence updated pid=" + std::to_string(pid) + " state=Creating\n");
}

TEST_F(PresenceTest, FindsDiscordInEachOfItsFoldersIndexByIndex) {
  // Endpoints under the runtime folder, listening at the same time; the first one must win.
  const std::vector<std::vector<std::string>> cases = {
      {".flatpak/com.discordapp.Discord/xdg-run/discord-ipc-0"},
      {"app/com.discordapp.DiscordCanary/discord-ipc-4"},
      {".flatpak/dev.vencord.Vesktop/xdg-run/discord-ipc-9"},
      // For one index the earlier folder wins...
      {"snap.discord/discord-ipc-0", "app/com.discordapp.DiscordCanary/discord-ipc-0"},
      {".flatpak/com.discordapp.Discord/xdg-run/discord-ipc-2",
       ".flatpak/dev.vencord.Vesktop/xdg-run/discord-ipc-2"},
      {"app/com.discordapp.DiscordCanary/discord-ipc-1",
       ".flatpak/dev.vencord.Vesktop/xdg-run/discord-ipc-1"},
      // ...and a lower index wins over an earlier folder.
      {".flatpak/dev.vencord.Vesktop/xdg-run/discord-ipc-0", "discord-ipc-1"},
  };
  startService();
  for (const std::vector<std::string>& endpoints : cases) {
    std::vector<kit::ChildProcess*> standins;
    for (const std::string& endpoint : endpoints) {
      const fs::path path = root_ / "run" / endpoint;
      fs::create_directories(path.parent_path());
      standins.push_back(startStandin({"--name", path.string()}));
    }
    // A new game each round; the stand-ins of the round before are gone, so the first update
    // fails and the worker connects afresh, from index 0 and the first folder.
    kit::ChildProcess* game = startGame();
    follow(game->pid());
    expectHandshake(nextFrame(standins[0]));
    expectSet(nextFrame(standins[0]), game->pid(), "In the menus", "Duskmere", 1);
    for (std::size_t i = 1; i < standins.size(); ++i) {
      EXPECT_EQ(nextLine(standins[i], 300), "<none>") << endpoints[i];
    }
    for (kit::ChildProcess* standin : standins) standin->kill();
    game->kill();
  }
}

TEST_F(PresenceTest, ADiscordThatNeverReadsDoesNotStopTheHttpService) {
  kit::ChildProcess* standin = startStandin({"--no-read"});
  startService();
  kit::ChildProcess* game = startGame();
  follow(game->pid());
  EXPECT_EQ(nextLine(standin), "connected 1\n");
  EXPECT_EQ(diagnostic(), "Discord IPC connected application=" + kApplicationId + "\n");
  for (int i = 0; i < 5; ++i) {
    kit::Status health = sidecar_->checkHealth();
    EXPECT_TRUE(health.ok()) << health.error();
    follow(game->pid());
  }
}

TEST_F(PresenceTest, AnswersPilingUpUnreadHoldNothingUp) {
  // Discord answers every command; the service never reads, so the answers stay in the socket.
  kit::ChildProcess* standin = startStandin({"--mode", "ready"});
  followGameInMenus(standin);

  // A few hundred state changes as fast as a proxy could log them, HTTP asked in between.
  for (int i = 1; i <= 300; ++i) {
    writeLog(i % 2 == 1 ? "Rewrote CMSG_CHAR_CREATE\n" : "Parsed owned SMSG_CHAR_ENUM\n");
    platform::sleepMilliseconds(10);
    if (i % 50 == 0) {
      kit::Status health = sidecar_->checkHealth();
      EXPECT_TRUE(health.ok()) << health.error();
    }
  }
  writeLog("C->S preview=000C3D000000\n");

  // Every update reached the stand-in in order, each a change from the one before, and the
  // last one is the last state logged.
  std::string previous = "In the menus";
  for (int nonce = 2;; ++nonce) {
    Frame frame = nextFrame(standin);
    ASSERT_EQ(frame.json["nonce"], "korvessa-" + std::to_string(nonce)) << frame.payload;
    const std::string details = frame.json["args"]["activity"].value("details", "");
    EXPECT_NE(details, previous) << frame.payload;
    if (details == "Playing on Duskmere") break;
    previous = details;
  }
  kit::Status health = sidecar_->checkHealth();
  EXPECT_TRUE(health.ok()) << health.error();
}

}  // namespace
}  // namespace kcs
