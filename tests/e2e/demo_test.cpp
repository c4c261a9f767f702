// The demo launcher run as the README's test stage runs it: with short pauses, from the build.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/secure_random.h"

namespace kcs {
namespace {

const std::string kDemo = std::string(KCS_TOOLS_DIR) + "/demo-launcher";

struct DemoRun {
  std::optional<int> status;
  std::string out;
  std::string err;
};

DemoRun runDemo(std::vector<std::string> arguments, std::vector<std::string> environment = {},
                const std::string& pacing = "--fast") {
  arguments.insert(arguments.begin(), pacing);
  kit::ChildOptions options;
  options.pipeStdin = false;
  options.environment = std::move(environment);
  auto demo = kit::ChildProcess::start(kDemo, arguments, options);
  EXPECT_TRUE(demo.ok()) << demo.error();
  if (!demo.ok()) return {};
  DemoRun run;
  run.out = (*demo)->readStdoutToEnd(60000).value();
  kit::Result<std::string> err = (*demo)->readStderrToEnd(5000);
  run.err = err.ok() ? *err : "";
  run.status = (*demo)->wait(5000);
  return run;
}

TEST(Demo, PlaysTheWholeSessionAndChecksEveryStep) {
  DemoRun run = runDemo({"--service", KCS_SERVICE_PATH, "--tools-dir", KCS_TOOLS_DIR});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  // The key lines of the timeline, in the order a session produces them; each line of the service
  // comes before what it caused at the Discord stand-in.
  const char* keyLines[] = {
      "started korvessa-client-services --launcher-pid ",
      "service    announced http://127.0.0.1:",
      "GET /health -> 200 OK {\"ok\":true,\"service\":\"korvessa-client-services\"}",
      "GET /health without the token -> 401 Unauthorized",
      "-> 204 No Content",
      "GET /launch/session -> 200 OK {\"username\":\"Aldric\"",
      "GET /launch/session again -> 404 Not Found {\"ok\":false,\"error\":\"no_launch_session\"}",
      "PUT /presence/session {\"pid\":",
      "service    Discord IPC connected application=",
      "discord    the service connected (connection 1)",
      "service    Discord presence updated pid=",
      "discord    shows \"In the menus\" / \"Duskmere\" (pid ",
      "discord    unchanged",
      "service    Discord presence updated pid=",
      "discord    shows \"Creating an Adventurer\" / \"Duskmere\"",
      "service    Discord presence updated pid=",
      "state=Playing(",
      ") -- the start time in Unix seconds, ",
      "discord    shows \"Playing on Duskmere\" / \"Adventurer\", elapsed 00:0",
      ", command nonce korvessa-",
      "service    Discord presence updated pid=",
      "discord    shows \"In the menus\" / \"Duskmere\"",
      "discord    activity cleared",
      "service    exited with status 0",
      "demo       every step checked out",
  };
  std::size_t at = 0;
  for (const char* line : keyLines) {
    std::size_t found = run.out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << run.out;
    at = found + 1;
  }
  EXPECT_NE(run.out.find("discord    handshake from application "), std::string::npos) << run.out;
}

TEST(Demo, FailureIsOneSentenceAndANonZeroStatus) {
  // The demo itself as the "service": it refuses --launcher-pid and ends before any address.
  DemoRun wrongService = runDemo({"--service", kDemo, "--tools-dir", KCS_TOOLS_DIR});
  EXPECT_EQ(wrongService.status, 1);
  EXPECT_NE(wrongService.err.find("before announcing its address"), std::string::npos)
      << wrongService.err;

  DemoRun noStandIn = runDemo({"--service", KCS_SERVICE_PATH, "--tools-dir", "/nonexistent"});
  EXPECT_EQ(noStandIn.status, 1);
  EXPECT_NE(noStandIn.err.find("Discord stand-in"), std::string::npos) << noStandIn.err;

  for (const std::string& err : {wrongService.err, noStandIn.err}) {
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    EXPECT_EQ(err[err.size() - 2], '.') << err;
  }
}

TEST(Demo, RealDiscordModeWithoutDiscordSaysSo) {
  // An empty runtime directory: no Discord endpoint anywhere the service looks first.
  const std::filesystem::path empty =
      std::filesystem::temp_directory_path() / ("kcs-demo-test-" + kit::secureRandomHex(6).value());
  std::filesystem::create_directories(empty);
  // The older name of --fast is still taken (an unknown option would end with status 2).
  DemoRun run = runDemo({"--real-discord", "--service", KCS_SERVICE_PATH},
                        {"XDG_RUNTIME_DIR=" + empty.string()}, "--non-interactive");
  std::filesystem::remove_all(empty);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is Discord running?"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("every step checked out"), std::string::npos);
}

}  // namespace
}  // namespace kcs
