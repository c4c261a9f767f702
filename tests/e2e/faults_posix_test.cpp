// Presence under faults, end to end: a Discord endpoint that refuses or closes mid-session, a
// proxy log that is replaced, deleted, rewritten or holds invalid UTF-8, and a game that is
// replaced in the slot just as it ends. The real service, the Discord stand-in on a private
// runtime directory, sleep processes as games.
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
  static std::string nextShown(kit::ChildProcess* standin, std::uint32_t* pid = nullptr) {
    for (;;) {
      Event event = nextEvent(standin);
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

};

TEST_F(FaultsTest, AnEndpointThatRefusesIsPassedOverQuietly) {
  // A socket left behind by a Discord that died: the name exists, nobody accepts.
  {
    Result<platform::IpcListener> stale =
        platform::listenIpc((root_ / "run" / "discord-ipc-0").string());
    ASSERT_TRUE(stale.ok()) << stale.error();
  }
  startService();
  const std::uint32_t game = startGame();
  follow(game);
  EXPECT_EQ(diagnostic(kQuietMs), "<none>");
  kit::Result<kit::HttpReply> health = sidecar_->checkHealth();
  EXPECT_TRUE(health.ok()) << health.error();

  kit::ChildProcess* standin = startStandin({"--index", "1"});
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");
  EXPECT_EQ(diagnostic().rfind("Discord IPC connected application=", 0), 0u);
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
  EXPECT_FALSE(sidecar_->waitForExit(0).has_value());
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
  EXPECT_FALSE(sidecar_->waitForExit(0).has_value());
}

TEST_F(FaultsTest, InvalidUtf8HoldsTheLogBackUntilItIsRewritten) {
  kit::ChildProcess* standin = startStandin({});
  startService();
  follow(startGame());
  EXPECT_EQ(nextShown(standin), "handshake");
  EXPECT_EQ(nextShown(standin), "In the menus #1");

  // A character cut in half at the end is not scanned yet; once complete, its line counts.
  writeLog("C->S preview=000C3D000000 \xC3", true);
  EXPECT_EQ(nextEvent(standin, kQuietMs).line, "<none>");
  writeLog("\xA9\n", true);
  EXPECT_EQ(nextShown(standin), "Playing on Duskmere #2");

  // Bytes that are not UTF-8 hold back everything behind them, a later marker included.
  writeLog("\xFF\xFE Rewrote CMSG_CHAR_CREATE\n", true);
  writeLog("Parsed owned SMSG_CHAR_ENUM\n", true);
  EXPECT_EQ(nextEvent(standin, kQuietMs).line, "<none>");

  // Rewritten shorter than the read offset, the log is read again from its start.
  writeLog("Rewrote CMSG_CHAR_CREATE\n", false);
  EXPECT_EQ(nextShown(standin), "Creating an Adventurer #3");
  EXPECT_FALSE(sidecar_->waitForExit(0).has_value());
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
