// The service's start-up as the launcher sees it: exit statuses, standard output and standard
// error byte for byte, for the command line, the configuration line and the launcher check.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"

namespace kcs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kTimeoutMs = 10000;
const std::string kToken(32, 't');
const std::string kConfigLine = R"({"token":")" + kToken + R"(","clientDir":""})" "\n";

struct Outcome {
  std::optional<int> status;
  std::string out;
  std::string err;
};

// Runs the service with these arguments; writes input (when given) to its standard input and
// then closes it unless keepStdinOpen.
Outcome run(const std::vector<std::string>& arguments, const std::optional<std::string>& input,
            bool keepStdinOpen = false) {
  auto child = kit::ChildProcess::start(KCS_SERVICE_PATH, arguments);
  EXPECT_TRUE(child.ok()) << child.error();
  if (!child.ok()) return {};
  kit::ChildProcess& service = **child;
  if (input) {
    EXPECT_TRUE(service.writeStdin(*input).ok());
    if (!keepStdinOpen) service.closeStdin();
  }
  Outcome outcome;
  kit::Result<std::string> out = service.readStdoutToEnd(kTimeoutMs);
  kit::Result<std::string> err = service.readStderrToEnd(kTimeoutMs);
  outcome.status = service.wait(kTimeoutMs);
  if (!outcome.status) service.kill();
  outcome.out = out.ok() ? *out : "<" + out.error() + ">";
  outcome.err = err.ok() ? *err : "<" + err.error() + ">";
  return outcome;
}

TEST(StartupTest, CommandLineOutcomes) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
  };
  const std::string usage = "korvessa-client-services --launcher-pid <pid>\n";
  const std::vector<Case> cases = {
      {{"--help"}, 0, usage, ""},
      {{"-h", "--launcher-pid", "1"}, 0, usage, ""},
      {{}, 2, "", "missing --launcher-pid\n"},
      {{"--launcher-pid"}, 2, "", "--launcher-pid requires a value\n"},
      {{"--launcher-pid=123"}, 2, "", "unknown argument: --launcher-pid=123\n"},
      {{"--LAUNCHER-PID", "1"}, 2, "", "unknown argument: --LAUNCHER-PID\n"},
      {{"-H"}, 2, "", "unknown argument: -H\n"},
      {{"--launcher-pid", "--help"}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", ""}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", "-1"}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", "42 "}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", "4294967296"}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", "0x10"}, 2, "", "invalid launcher pid\n"},
      {{"--launcher-pid", "\xFF"}, 101, "",
       "fatal: command line: launcher pid (argument 2) is not valid UTF-8\n"},
      {{"\xC0\xAF"}, 101, "", "fatal: command line: first argument (argument 1) is not valid UTF-8\n"},
  };
  for (const auto& c : cases) {
    // Standard input stays open and unwritten: none of these may wait for it.
    const Outcome outcome = run(c.arguments, std::nullopt);
    const std::string label = testing::PrintToString(c.arguments);
    EXPECT_EQ(outcome.status, c.status) << label;
    EXPECT_EQ(outcome.out, c.out) << label;
    EXPECT_EQ(outcome.err, c.err) << label;
  }
  EXPECT_EQ(usage.size(), 46u);
}

TEST(StartupTest, ConfigurationFailuresEndWithStatus3) {
  struct Case {
    std::string input;
    std::string err;  // whole text, or its start when it ends in "..."
  };
  const std::vector<Case> cases = {
      {"", "invalid launcher configuration: syntax error: unexpected end of input at line 1 column "
           "0\n"},
      {"{\"token\":\"" + kToken + "\",\n\"clientDir\":\"\"}\n",
       "invalid launcher configuration: syntax error..."},
      {"{\"token\":\"" + kToken + "\xFF\",\"clientDir\":\"\"}\n",
       "failed reading launcher configuration: stream did not contain valid UTF-8\n"},
      {R"({"token":")" + kToken + R"("})" "\n",
       "invalid launcher configuration: missing field `clientDir` at line 1 column 44\n"},
      {R"({"token":"a","token":"b","clientDir":""})" "\n",
       "invalid launcher configuration: duplicate field `token` at line 1 column 20\n"},
      {R"({"token":null,"clientDir":""})" "\n", "invalid launcher configuration: invalid type: null..."},
      {R"(["a"])" "\n",
       "invalid launcher configuration: invalid length 1, expected struct Config with 2 elements at "
       "line 1 column 5\n"},
      {"\xEF\xBB\xBF" + kConfigLine, "invalid launcher configuration: expected value, found a "
                                     "byte-order mark at line 1 column 1\n"},
      {kConfigLine.substr(0, kConfigLine.size() - 1) + " x\n",
       "invalid launcher configuration: trailing characters..."},
      // A NUL byte does not end the line's JSON early.
      {kConfigLine.substr(0, kConfigLine.size() - 1) + '\0' + "garbage\n",
       "invalid launcher configuration: trailing characters at line 1 column 60\n"},
      // The description never quotes the line: here the library's message would have shown
      // the string up to the tab.
      {"{\"token\":\"AAAA'; expected SECRET-TOKEN-PART-XYZ\tmore\",\"clientDir\":\"\"}\n",
       "invalid launcher configuration: syntax error: invalid string: unescaped control character "
       "at line 1 column 48\n"},
      {R"({"token":")" + std::string(31, 't') + R"(","clientDir":""})" "\n",
       "launcher configuration is incomplete\n"},
  };
  for (const auto& c : cases) {
    // The configuration is read and judged before the launcher is looked for.
    const Outcome outcome = run({"--launcher-pid", "1"}, c.input);
    const std::string label = testing::PrintToString(c.input);
    EXPECT_EQ(outcome.status, 3) << label;
    EXPECT_EQ(outcome.out, "") << label;
    if (c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0) {
      const std::string prefix = c.err.substr(0, c.err.size() - 3);
      EXPECT_EQ(outcome.err.substr(0, prefix.size()), prefix) << label;
      EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << label << outcome.err;
    } else {
      EXPECT_EQ(outcome.err, c.err) << label;
    }
  }
}

TEST(StartupTest, MissingLauncherIsFoundAfterTheConfigurationWasRead) {
  struct Case {
    std::string pid;
    std::string input;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"0", kConfigLine, 4, "launcher process not found\n"},
      {"+0", kConfigLine + "more lines\n", 4, "launcher process not found\n"},
      {"4294967295", kConfigLine, 4, "launcher process not found\n"},
      {"2147483648", kConfigLine, 4, "launcher process not found\n"},
      // The configuration comes first: a bad line wins over a missing launcher.
      {"0", "{}\n", 3, "invalid launcher configuration: missing field `token` at line 1 column 2\n"},
  };
  for (const auto& c : cases) {
    // Standard input stays open: the first line is enough to go on.
    const Outcome outcome = run({"--launcher-pid", c.pid}, c.input, /*keepStdinOpen=*/true);
    EXPECT_EQ(outcome.status, c.status) << c.pid;
    EXPECT_EQ(outcome.out, "") << c.pid;
    EXPECT_EQ(outcome.err, c.err) << c.pid;
  }
}

// A line that takes more than one read to arrive is judged whole: written in two goes with a
// pause, or longer than one read takes. Launcher pid 0 makes the outcome show that it was
// accepted (status 4 comes after the configuration was found valid; any lost part gives 3).
TEST(StartupTest, AConfigurationLineInSeveralReadsIsReadWhole) {
  const std::string longLine =
      R"({"token":")" + kToken + R"(","clientDir":")" + std::string(10000, 'd') + R"("})" "\n";
  const std::vector<std::vector<std::string>> cases = {
      {kConfigLine.substr(0, 20), kConfigLine.substr(20)},
      {longLine},
      {longLine.substr(0, 4096), longLine.substr(4096, 10), longLine.substr(4106)},
  };
  for (const auto& pieces : cases) {
    auto child = kit::ChildProcess::start(KCS_SERVICE_PATH, {"--launcher-pid", "0"});
    ASSERT_TRUE(child.ok()) << child.error();
    kit::ChildProcess& service = **child;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_TRUE(service.writeStdin(pieces[i]).ok());
    }
    kit::Result<std::string> err = service.readStderrToEnd(kTimeoutMs);
    EXPECT_EQ(err.ok() ? *err : err.error(), "launcher process not found\n") << pieces.size();
    EXPECT_EQ(service.wait(kTimeoutMs), 4) << pieces.size();
  }
}

TEST(StartupTest, AnnouncesTheAddressAndEndsQuietlyWhenTheLauncherIsGone) {
  kit::ChildOptions quiet;
  quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
  auto launcher = kit::ChildProcess::start("sleep", {"120"}, quiet);
  ASSERT_TRUE(launcher.ok()) << launcher.error();

  // White space around the line, an ignored member, and a third argument that is never read.
  auto child = kit::ChildProcess::start(
      KCS_SERVICE_PATH, {"--launcher-pid", std::to_string((*launcher)->pid()), "--help"});
  ASSERT_TRUE(child.ok()) << child.error();
  kit::ChildProcess& service = **child;
  ASSERT_TRUE(service
                  .writeStdin("\xC2\xA0 {\"extra\":{\"a\":[1]},\"token\":\"" + kToken +
                              "\",\"clientDir\":\"/nowhere\"} \r\n")
                  .ok());

  kit::Result<std::string> line = service.readStdoutLine(kTimeoutMs);
  ASSERT_TRUE(line.ok()) << line.error();
  EXPECT_TRUE(std::regex_match(*line, std::regex(R"(http://127\.0\.0\.1:[1-9][0-9]{0,4}\n)")))
      << *line;
  // Still serving while the launcher lives.
  EXPECT_FALSE(service.wait(300).has_value());

  (*launcher)->kill();
  const auto killedAt = Clock::now();
  const std::optional<int> status = service.wait(kTimeoutMs);
  const auto elapsed = Clock::now() - killedAt;
  EXPECT_EQ(status, 0);
  // The watch looks every 100 ms; three seconds leave slack for sanitizers on a busy machine.
  EXPECT_LT(elapsed, std::chrono::seconds(3));

  kit::Result<std::string> rest = service.readStdoutToEnd(kTimeoutMs);
  ASSERT_TRUE(rest.ok());
  EXPECT_EQ(*rest, "");
  kit::Result<std::string> err = service.readStderrToEnd(kTimeoutMs);
  ASSERT_TRUE(err.ok());
  EXPECT_EQ(*err, "");
}

}  // namespace
}  // namespace kcs
