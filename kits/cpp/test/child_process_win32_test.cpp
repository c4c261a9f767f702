// The Windows child-process twin, driven through cmd.exe (present on Windows and in Wine).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "korvessa/launcher_kit/child_process.h"
#include "platform/platform.h"

namespace kcs::kit {
namespace {

TEST(ChildProcessWin32, PipesAllThreeStreamsAndReportsTheStatus) {
  auto child =
      ChildProcess::start("cmd.exe", {"/d", "/c", "echo first&set /p line=&call echo %line%>&2&exit /b 7"});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_EQ((*child)->readStdoutLine(10000).value(), "first\r\n");
  ASSERT_TRUE((*child)->writeStdin("echoed\r\n").ok());
  EXPECT_EQ((*child)->readStderrLine(10000).value(), "echoed\r\n");
  EXPECT_EQ((*child)->readStdoutToEnd(10000).value(), "");
  EXPECT_EQ((*child)->wait(10000), 7);
}

TEST(ChildProcessWin32, PassesExtraEnvironment) {
  auto child = ChildProcess::start("cmd.exe", {"/d", "/c", "echo %KCS_PROBE%"},
                                   ChildOptions{.environment = {"KCS_PROBE=visible value"}});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_EQ((*child)->readStdoutToEnd(10000).value(), "visible value\r\n");
  EXPECT_EQ((*child)->wait(10000), 0);
}

TEST(ChildProcessWin32, ReadTimesOutAndKillEndsTheChild) {
  auto child = ChildProcess::start("cmd.exe", {"/d", "/c", "set /p x="});
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_FALSE((*child)->readStdoutLine(50).ok());
  EXPECT_FALSE((*child)->wait(50).has_value());
  (*child)->kill();
  EXPECT_TRUE((*child)->wait(0).has_value());
}

// A process object outlives its process while any handle to it is open, and its pid stays taken.
// A child that has ended and been waited for must no longer open by pid, so the kit may not keep
// its process handle beyond that point. (The service's check would not tell: to it an ended
// process is gone even while held.)
bool opensByPid(std::uint32_t pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  ::CloseHandle(process);
  return true;
}

TEST(ChildProcessWin32, AnEndedChildNoLongerOpensByPid) {
  auto child = ChildProcess::start("cmd.exe", {"/d", "/c", "set /p x="});
  ASSERT_TRUE(child.ok()) << child.error();
  const std::uint32_t pid = (*child)->pid();
  EXPECT_TRUE(opensByPid(pid));
  (*child)->closeStdin();
  EXPECT_TRUE((*child)->wait(10000).has_value());
  // Other holders may keep the process object for a moment (Wine's console host does), so the
  // pid is given time to disappear, but it must disappear.
  for (int waited = 0; opensByPid(pid) && waited < 10000; waited += 20) {
    platform::sleepMilliseconds(20);
  }
  EXPECT_FALSE(opensByPid(pid));
}

TEST(ChildProcessWin32, ASpawnFailureSaysWhichMistakeItIs) {
  const std::filesystem::path text = std::filesystem::temp_directory_path() / "kcs-not-a-program.exe";
  std::ofstream(text) << "not a program\r\n";
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {"C:\\nonexistent\\program.exe", "does not exist"},
      {std::filesystem::temp_directory_path().string(), "is a directory"},
      {text.string(), "cannot be run"},
  };
  for (const auto& c : cases) {
    auto child = ChildProcess::start(c.path, {});
    ASSERT_FALSE(child.ok()) << c.path;
    EXPECT_EQ(child.code(), Code::kSpawn) << c.path;
    EXPECT_NE(child.error().find(c.says), std::string::npos) << child.error();
  }
  std::filesystem::remove(text);
}

}  // namespace
}  // namespace kcs::kit
