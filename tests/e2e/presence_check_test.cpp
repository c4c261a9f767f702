// presence-check end to end: the tool against the Discord stand-in in each of its answer modes,
// on a private runtime directory, and with no endpoint at all.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/presence_rig.h"

namespace kcs {
namespace {

const std::string kApplicationId = KCS_DISCORD_APPLICATION_ID;

class PresenceCheckTest : public testing::PresenceRig {
 protected:
  struct Run {
    std::optional<int> status;
    std::string out;
    std::uint32_t pid = 0;
  };

  Run check(const std::vector<std::string>& arguments) {
    kit::ChildOptions options;
    options.pipeStdin = false;
    options.environment = environment_;
    auto child = kit::ChildProcess::start(std::string(KCS_TOOLS_DIR) + "/presence-check", arguments,
                                          options);
    EXPECT_TRUE(child.ok()) << child.error();
    if (!child.ok()) return {};
    Run run;
    run.pid = (*child)->pid();
    kit::Result<std::string> out = (*child)->readStdoutToEnd(20000);
    if (out.ok()) run.out = *out;
    kit::Result<std::string> err = (*child)->readStderrToEnd(1000);
    if (err.ok()) run.out += *err;
    run.status = (*child)->wait(5000);
    return run;
  }

  std::string runDir() const { return (root_ / "run").string(); }
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(PresenceCheckTest, EachAnswerOfDiscordHasItsSentenceAndStatus) {
  struct Case {
    const char* name;
    std::vector<std::string> standin;  // empty: no stand-in
    std::vector<std::string> arguments;
    int status;
    std::vector<std::string> sentences;
  };
  const std::string run = runDir();
  const Case cases[] = {
      {"ready",
       {"--mode", "ready", "--index", "3"},
       {},
       0,
       {"Connected to Discord endpoint 3 at " + run + "/discord-ipc-3 with application id " +
            kApplicationId + ".\n",
        "Discord is ready for user \"standin\" (\"Discord Stand-in\").\n",
        "Discord accepted the activity: it shows \"In the menus\" / \"Duskmere\".\n",
        "Cleared the activity again.\n"}},
      {"reject",
       {"--mode", "reject"},
       {},
       1,
       {"Discord closed the connection instead of answering the handshake: code 4000, "
        "\"Invalid Client ID\". The application id " + kApplicationId +
            " is not a registered Discord application",
        "-DKCS_DISCORD_APPLICATION_ID=<id>.\n"}},
      {"error",
       {"--mode", "error"},
       {},
       1,
       {"Discord is ready", "Discord refused the activity: code 4000, \"Invalid Payload"}},
      {"silent",
       {"--mode", "silent"},
       {},
       4,
       {"Discord did not answer the handshake within 5 seconds.\n"}},
      {"no endpoint",
       {},
       {},
       3,
       {"No Discord endpoint found: nothing accepted a connection at discord-ipc-0 to "
        "discord-ipc-9 in " +
        run + ", " + run + "/app/com.discordapp.Discord, " + run + "/snap.discord, " + run +
        "/.flatpak/com.discordapp.Discord/xdg-run, " + run + "/app/com.discordapp.DiscordCanary, " +
        run + "/.flatpak/dev.vencord.Vesktop/xdg-run (is the Discord desktop app running, as this " +
        "user?).\n"}},
      {"index without endpoint",
       {"--mode", "ready"},
       {"--endpoint", "2"},
       3,
       {"nothing accepted a connection at " + run + "/discord-ipc-2, " + run +
        "/app/com.discordapp.Discord/discord-ipc-2, " + run + "/snap.discord/discord-ipc-2, " + run +
        "/.flatpak/com.discordapp.Discord/xdg-run/discord-ipc-2, "}},
      {"named endpoint",
       {"--mode", "ready", "--name", run + "/elsewhere"},
       {"--endpoint", run + "/elsewhere"},
       0,
       {"Connected to Discord " + run + "/elsewhere with application id",
        "Discord accepted the activity"}},
      {"usage", {}, {"--keep", "soon"}, 2, {"--keep needs whole seconds"}},
      {"unknown option", {}, {"--endpoint"}, 2, {"unknown or incomplete argument: --endpoint"}},
      {"index out of range", {}, {"--endpoint", "10"}, 2,
       {"--endpoint index must be 0 to 9: 10\n"}},
      {"help", {}, {"--help"}, 0, {"  4  Discord did not answer within 5 seconds\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kit::ChildProcess* standin = nullptr;
    if (!c.standin.empty()) standin = startStandin(c.standin);
    const Run result = check(c.arguments);
    EXPECT_EQ(result.status, c.status) << result.out;
    for (const std::string& sentence : c.sentences)
      EXPECT_TRUE(has(result.out, sentence)) << result.out;
    if (standin != nullptr) standin->kill();
  }
}

TEST_F(PresenceCheckTest, SendsTheServicesOwnFramesAndAnswersAPing) {
  kit::ChildProcess* standin = startStandin({"--mode", "ready", "--ping"});
  const Run result = check({"--keep", "1"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_TRUE(has(result.out, "Keeping it visible for 1 seconds.\n")) << result.out;
  const std::string pid = std::to_string(result.pid);
  // The same handshake and payloads as the service's, then the PONG with the PING's payload.
  const std::vector<std::string> expected = {
      "connected 1\n",
      "frame 1 0 41 {\"client_id\":\"" + kApplicationId + "\",\"v\":1}\n",
      "frame 1 4 18 {\"standin\":\"ping\"}\n",
      "frame 1 1 " + std::to_string(141 + pid.size() + 1) +
          R"( {"args":{"activity":{"details":"In the menus","instance":false,"state":"Duskmere",)"
          R"("type":0},"pid":)" +
          pid + R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-1"})" + "\n",
      "frame 1 1 " + std::to_string(74 + pid.size() + 1) + R"( {"args":{"activity":null,"pid":)" +
          pid + R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-2"})" + "\n",
      "ended 1\n",
  };
  for (const std::string& line : expected) EXPECT_EQ(nextLine(standin), line);
}

}  // namespace
}  // namespace kcs
