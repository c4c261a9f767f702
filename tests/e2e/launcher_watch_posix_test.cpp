// The launcher check with a launcher that has ended but that its parent (this test) has not
// reaped yet: a zombie is gone, at start-up and while the service serves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"

namespace kcs {
namespace {

constexpr unsigned kTimeoutMs = 10000;
const std::string kConfigLine = R"({"token":")" + std::string(32, 't') + R"(","clientDir":""})" "\n";

std::unique_ptr<kit::ChildProcess> start(const std::string& program,
                                         const std::vector<std::string>& arguments,
                                         const kit::ChildOptions& options = {}) {
  auto child = kit::ChildProcess::start(program, arguments, options);
  EXPECT_TRUE(child.ok()) << child.error();
  return child.ok() ? std::move(child).value() : nullptr;
}

std::unique_ptr<kit::ChildProcess> startLauncher() {
  kit::ChildOptions quiet;
  quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
  return start("sleep", {"120"}, quiet);
}

std::unique_ptr<kit::ChildProcess> startService(std::uint32_t launcherPid) {
  auto service = start(KCS_SERVICE_PATH, {"--launcher-pid", std::to_string(launcherPid)});
  if (service) {
    EXPECT_TRUE(service->writeStdin(kConfigLine).ok());
  }
  return service;
}

// Ends the child and waits for its end without reaping it (WNOWAIT): it stays a zombie until
// the kit reaps it when the test is done with it.
bool endUnreaped(kit::ChildProcess& child) {
  siginfo_t info{};
  return ::kill(static_cast<pid_t>(child.pid()), SIGKILL) == 0 &&
         ::waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT) == 0;
}

bool stillUnreaped(std::uint32_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == static_cast<pid_t>(pid);
}

TEST(LauncherWatchPosix, ALauncherThatEndedIsGoneBeforeItIsReaped) {
  {
    SCOPED_TRACE("ended before start-up");
    std::unique_ptr<kit::ChildProcess> launcher = startLauncher();
    ASSERT_TRUE(launcher && endUnreaped(*launcher));
    std::unique_ptr<kit::ChildProcess> service = startService(launcher->pid());
    ASSERT_TRUE(service);
    kit::Result<std::string> err = service->readStderrToEnd(kTimeoutMs);
    EXPECT_EQ(err.ok() ? *err : err.error(), "launcher process not found\n");
    EXPECT_EQ(service->wait(kTimeoutMs), 4);
    EXPECT_TRUE(stillUnreaped(launcher->pid()));
  }
  {
    SCOPED_TRACE("ended while serving");
    std::unique_ptr<kit::ChildProcess> launcher = startLauncher();
    ASSERT_TRUE(launcher);
    std::unique_ptr<kit::ChildProcess> service = startService(launcher->pid());
    ASSERT_TRUE(service);
    kit::Result<std::string> address = service->readStdoutLine(kTimeoutMs);
    ASSERT_TRUE(address.ok()) << address.error();
    EXPECT_FALSE(service->wait(300).has_value());

    ASSERT_TRUE(endUnreaped(*launcher));
    const auto endedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(service->wait(kTimeoutMs), 0);
    // The watch looks every 100 ms; three seconds leave slack for sanitizers on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - endedAt, std::chrono::seconds(3));
    EXPECT_TRUE(stillUnreaped(launcher->pid()));
  }
}

}  // namespace
}  // namespace kcs
