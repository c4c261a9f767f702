#include <gtest/gtest.h>

#include "korvessa/launcher_kit/child_process.h"

namespace kcs::kit {
namespace {

TEST(ChildProcess, PipesAllThreeStreamsAndReportsTheStatus) {
  auto child = ChildProcess::start(
      "/bin/sh", {"-c", "echo first; read line; echo \"$line\" >&2; printf tail; exit 7"});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_EQ((*child)->readStdoutLine(5000).value(), "first\n");
  ASSERT_TRUE((*child)->writeStdin("echoed\n").ok());
  EXPECT_EQ((*child)->readStderrLine(5000).value(), "echoed\n");
  EXPECT_EQ((*child)->readStdoutToEnd(5000).value(), "tail");
  EXPECT_EQ((*child)->wait(5000), 7);
}

TEST(ChildProcess, ReadTimesOutAndKillEndsTheChild) {
  auto child = ChildProcess::start("sleep", {"30"});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_FALSE((*child)->readStdoutLine(50).ok());
  EXPECT_FALSE((*child)->wait(50).has_value());
  (*child)->kill();
  EXPECT_TRUE((*child)->wait(0).has_value());
}

TEST(ChildProcess, PassesExtraEnvironment) {
  auto child = ChildProcess::start("/bin/sh", {"-c", "echo \"$KCS_PROBE\""},
                                   ChildOptions{.environment = {"KCS_PROBE=visible"}});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_EQ((*child)->readStdoutToEnd(5000).value(), "visible\n");
  EXPECT_EQ((*child)->wait(5000), 0);
}

TEST(ChildProcess, MissingProgramFailsToStart) {
  EXPECT_FALSE(ChildProcess::start("/nonexistent/program", {}).ok());
}

}  // namespace
}  // namespace kcs::kit
