#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

TEST(ChildProcess, ASpawnFailureSaysWhichMistakeItIs) {
  const std::filesystem::path plain =
      std::filesystem::temp_directory_path() / ("kcs-plain-" + std::to_string(::getpid()));
  std::ofstream(plain) << "#!/bin/sh\n";
  std::filesystem::permissions(plain, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_write);
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {"/nonexistent/program", "does not exist"},
      {"no-such-program-kcs", "does not exist"},
      {std::filesystem::temp_directory_path().string(), "is a directory"},
      {plain.string(), "cannot be run"},
  };
  for (const auto& c : cases) {
    auto child = ChildProcess::start(c.path, {});
    ASSERT_FALSE(child.ok()) << c.path;
    EXPECT_EQ(child.code(), Code::kSpawn) << c.path;
    EXPECT_NE(child.error().find(c.path + ": "), std::string::npos) << child.error();
    EXPECT_NE(child.error().find(c.says), std::string::npos) << child.error();
  }
  std::filesystem::remove(plain);
}

TEST(ChildProcess, AChildReapedElsewhereHasEndedNotStillRunning) {
  auto child = ChildProcess::start("/bin/sh", {"-c", "exit 3"});
  ASSERT_TRUE(child.ok()) << child.error();
  int raw = 0;
  ASSERT_EQ(::waitpid(static_cast<pid_t>((*child)->pid()), &raw, 0),
            static_cast<pid_t>((*child)->pid()));
  EXPECT_EQ((*child)->wait(1000), -1);  // ended, with its status lost
  EXPECT_NE((*child)->howEnded().find("lost"), std::string::npos) << (*child)->howEnded();
}

TEST(ChildProcess, ReadsTellATimeOutFromTheEndOfTheStream) {
  auto child = ChildProcess::start("/bin/sh", {"-c", "read line; printf cut"});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_EQ((*child)->readStdoutLine(50).code(), Code::kTimedOut);
  (*child)->closeStdin();
  EXPECT_EQ((*child)->readStdoutLine(5000).code(), Code::kEndOfStream);
  EXPECT_EQ((*child)->wait(5000), 0);
  EXPECT_EQ((*child)->howEnded(), "with status 0");
}

}  // namespace
}  // namespace kcs::kit
