#include "lifecycle/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kcs {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineParse, EveryFormGivesItsActionPidOrMessage) {
  struct Case {
    std::vector<std::string> arguments;  // after the program name
    Action action;
    std::uint32_t pid;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, Action::Fail, 0, "missing --launcher-pid"},
      {{"--launcher-pid"}, Action::Fail, 0, "--launcher-pid requires a value"},
      {{"--help"}, Action::ShowHelp, 0, ""},
      {{"-h"}, Action::ShowHelp, 0, ""},
      {{"-h", "--launcher-pid", "bogus"}, Action::ShowHelp, 0, ""},
      {{"--launcher-pid", "123", "--help"}, Action::Serve, 123, ""},
      {{"--launcher-pid", "123", "\xFF"}, Action::Serve, 123, ""},  // never looked at
      {{"--launcher-pid", "+42"}, Action::Serve, 42, ""},
      {{"--launcher-pid", "0042"}, Action::Serve, 42, ""},
      {{"--launcher-pid", "0"}, Action::Serve, 0, ""},
      {{"--launcher-pid", "4294967295"}, Action::Serve, 4294967295u, ""},
      {{"--launcher-pid", "--help"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", ""}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "+"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "-"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "-1"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", " 42"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "42 "}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "4294967296"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid", "0x10"}, Action::Fail, 0, "invalid launcher pid"},
      {{"--launcher-pid=123"}, Action::Fail, 0, "unknown argument: --launcher-pid=123"},
      {{"--LAUNCHER-PID", "1"}, Action::Fail, 0, "unknown argument: --LAUNCHER-PID"},
      {{"-H"}, Action::Fail, 0, "unknown argument: -H"},
      {{""}, Action::Fail, 0, "unknown argument: "},
      {{"x", "--launcher-pid", "1"}, Action::Fail, 0, "unknown argument: x"},
      {{"--launcher-pid", "\xFF"}, Action::Fatal, 0, "launcher pid (argument 2) is not valid UTF-8"},
      {{"\xC3"}, Action::Fatal, 0, "first argument (argument 1) is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"korvessa-client-services"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const CommandLine parsed = parseCommandLine(arguments);
    const std::string label = testing::PrintToString(c.arguments);
    EXPECT_EQ(parsed.action, c.action) << label;
    EXPECT_EQ(parsed.message, c.message) << label;
    if (c.action == Action::Serve) {
      EXPECT_EQ(parsed.launcherPid, c.pid) << label;
    }
  }
}

TEST(CommandLineParse, ProgramNameIsCheckedButNeverInterpreted) {
  EXPECT_EQ(parseCommandLine({"--help"}).action, Action::Fail);  // program name only
  EXPECT_EQ(parseCommandLine({"\xFF", "--help"}).action, Action::Fatal);
  EXPECT_EQ(parseCommandLine({"\xFF"}).action, Action::Fatal);
}

TEST(CommandLineParse, UsageLineIsExact) {
  EXPECT_EQ(std::string(kUsageLine), "korvessa-client-services --launcher-pid <pid>\n");
  EXPECT_EQ(std::string(kUsageLine).size(), 46u);
}

}  // namespace
}  // namespace kcs
