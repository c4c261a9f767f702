// The process check on both of its paths: with pidfd_open, and with kill(pid, 0) and /proc alone,
// as on kernels before 5.3 and in sandboxes that refuse pidfd_open.
#include "platform/process_check_posix.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace kcs::platform {
namespace {

struct Path {
  const char* name;
  ProcessCheckPath path;
};
constexpr Path kPaths[] = {{"pidfd", ProcessCheckPath::PidfdThenSignal},
                           {"signal only", ProcessCheckPath::SignalOnly}};

// A child that has exited and is left unreaped: waitid with WNOWAIT only waits for the exit.
pid_t endedChild() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  siginfo_t info{};
  if (child > 0) ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
  return child;
}

TEST(ProcessCheckPosix, AProcessThatEndedIsGoneBeforeItIsReaped) {
  const pid_t zombie = endedChild();
  const pid_t reaped = endedChild();
  ASSERT_GT(zombie, 0);
  ASSERT_GT(reaped, 0);
  ::waitpid(reaped, nullptr, 0);
  struct Case {
    const char* name;
    std::uint32_t pid;
    bool exists;
  };
  const Case cases[] = {
      {"this process", static_cast<std::uint32_t>(::getpid()), true},
      {"ended, not reaped", static_cast<std::uint32_t>(zombie), false},
      {"ended and reaped", static_cast<std::uint32_t>(reaped), false},
      {"pid 0", 0, false},
      {"above INT_MAX", 2147483648u, false},
  };
  for (const Path& path : kPaths) {
    for (const Case& c : cases) {
      EXPECT_EQ(processExistsVia(c.pid, path.path), c.exists) << path.name << ": " << c.name;
    }
  }
  // Still a zombie until here: the check itself reaped nothing.
  siginfo_t info{};
  EXPECT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(info.si_pid, zombie);
  ::waitpid(zombie, nullptr, 0);
}

// kill(pid, 0) on a process of another user fails with EPERM; that process is there all the same.
TEST(ProcessCheckPosix, AnotherUsersProcessCountsAsPresent) {
  if (::geteuid() != 0) {
    if (::kill(1, 0) == 0 || errno != EPERM) GTEST_SKIP() << "no process of another user in sight";
    for (const Path& path : kPaths) EXPECT_TRUE(processExistsVia(1, path.path)) << path.name;
    return;
  }
  // As root: a child that has become an unprivileged user probes this process.
  const pid_t target = ::getpid();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    if (::kill(target, 0) == 0 || errno != EPERM) ::_exit(2);
    int missed = 0;
    for (int i = 0; i < 2; ++i) {
      if (!processExistsVia(static_cast<std::uint32_t>(target), kPaths[i].path)) missed |= 1 << i;
    }
    ::_exit(10 + missed);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot become another user here";
  EXPECT_EQ(WEXITSTATUS(status), 10) << "11: pidfd path said gone, 12: signal path, 13: both";
}

}  // namespace
}  // namespace kcs::platform
