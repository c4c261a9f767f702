// POSIX child processes: posix_spawn with pipes, poll() for reads with a time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <system_error>

#include "korvessa/launcher_kit/buffered_pipe.h"
#include "korvessa/launcher_kit/child_process.h"
#include "spawn_failure.h"

extern char** environ;

namespace kcs::kit {
namespace {

using Clock = BufferedPipe::Clock;

Failure lastError(const char* what) {
  return fail(std::string(what) + ": " + std::system_category().message(errno));
}

// Which mistake a failed spawn of program was. A name without a slash was looked up in PATH,
// so only the error code can tell; a path is looked at itself.
detail::SpawnProblem spawnProblem(const std::string& program, int code) {
  struct stat info {};
  if (program.find('/') != std::string::npos && ::stat(program.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    return detail::SpawnProblem::kDirectory;
  }
  if (code == ENOENT || code == ENOTDIR) return detail::SpawnProblem::kMissing;
  if (code == EACCES || code == ENOEXEC || code == EPERM) return detail::SpawnProblem::kNotRunnable;
  return detail::SpawnProblem::kOther;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pipe end polled with a deadline.
class Reader final : public BufferedPipe {
 public:
  int fd = -1;

 private:
  bool fill(Clock::time_point deadline) override {
    if (ended || fd < 0) return false;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() < 0) return false;
      pollfd p{fd, POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      char chunk[4096];
      ssize_t n = ::read(fd, chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ended = true;
        return false;
      }
      pending.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }
};

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> entries;
  auto add = [&](const std::string& entry) {
    std::size_t eq = entry.find('=');
    entries[entry.substr(0, eq)] = entry;
  };
  for (char** e = environ; *e != nullptr; ++e) add(*e);
  for (const std::string& entry : extra) add(entry);
  std::vector<std::string> merged;
  for (auto& [name, entry] : entries) merged.push_back(entry);
  return merged;
}

class PosixChild final : public ChildProcess {
 public:
  ~PosixChild() override {
    closeFd(stdin_);
    closeFd(stdout_.fd);
    closeFd(stderr_.fd);
    if (!reaped_) kill();
  }

  Status launch(const std::string& program, const std::vector<std::string>& arguments,
                const ChildOptions& options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    auto closeAll = [&] {
      for (int* p : {in, out, err}) {
        closeFd(p[0]);
        closeFd(p[1]);
      }
    };
    if ((options.pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) ||
        (options.pipeStdout && ::pipe2(out, O_CLOEXEC) != 0) ||
        (options.pipeStderr && ::pipe2(err, O_CLOEXEC) != 0)) {
      Failure failure = lastError("pipe");
      closeAll();
      return failure;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (options.pipeStdin) {
      ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
      ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (options.pipeStdout) ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (options.pipeStderr) ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = mergedEnvironment(options.environment);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      closeAll();
      return detail::spawnFailure(program, spawnProblem(program, rc),
                                  std::system_category().message(rc));
    }
    pid_ = pid;
    reaped_ = false;
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    stdin_ = in[1];
    stdout_.fd = out[0];
    stderr_.fd = err[0];
    return Status::success();
  }

  std::uint32_t pid() const override { return static_cast<std::uint32_t>(pid_); }

  Status writeStdin(const std::string& bytes) override {
    if (stdin_ < 0) return fail("standard input is closed");
    std::size_t done = 0;
    while (done < bytes.size()) {
      // MSG_NOSIGNAL does not exist for pipes; start() ignores SIGPIPE, so a child that has gone
      // shows as EPIPE here.
      ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return lastError("write");
      done += static_cast<std::size_t>(n);
    }
    return Status::success();
  }

  void closeStdin() override { closeFd(stdin_); }
  void closeStderr() override { closeFd(stderr_.fd); }

  BufferedPipe& output() override { return stdout_; }
  BufferedPipe& errors() override { return stderr_; }

  std::optional<int> wait(unsigned timeoutMs) override {
    if (reaped_) return status_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int raw = 0;
      pid_t done = ::waitpid(pid_, &raw, WNOHANG);
      if (done == pid_) {
        reaped(raw);
        return status_;
      }
      if (done < 0 && errno == ECHILD) {
        // Someone else reaped it (a SIGCHLD handler, SIG_IGN, a waitpid(-1) elsewhere): the
        // child has ended, and its status is lost.
        lost();
        return status_;
      }
      if (done < 0 && errno != EINTR) return std::nullopt;
      if (Clock::now() >= deadline) return std::nullopt;
      ::usleep(5000);
    }
  }

  void kill() override {
    // A child that has ended already (or was reaped elsewhere, when its pid may be another
    // process's by now) gets no signal.
    if (reaped_ || wait(0)) return;
    ::kill(pid_, SIGKILL);
    int raw = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
    }
    // It may have ended by itself just before the signal: what waitpid saw is what happened.
    if (done == pid_) {
      reaped(raw);
    } else {
      lost();
    }
  }

  void awaitEnd() override {
    if (reaped_) return;
    siginfo_t info{};
    // WNOWAIT leaves the child a zombie, so its pid cannot pass to another process before
    // wait() reaps it. ECHILD: reaped elsewhere, which is an end too.
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
  }

  void terminate() override {
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  std::string howEnded() const override {
    if (!reaped_) return "still running";
    if (lost_) return "with a status that was lost (reaped elsewhere)";
    if (WIFSIGNALED(raw_)) return "by signal " + std::to_string(WTERMSIG(raw_));
    return "with status " + std::to_string(status_);
  }

  std::optional<ChildEnd> end() const override {
    if (!reaped_) return std::nullopt;
    if (lost_) return ChildEnd{};
    if (WIFSIGNALED(raw_)) return ChildEnd{std::nullopt, WTERMSIG(raw_)};
    return ChildEnd{status_, std::nullopt};
  }

 private:
  void reaped(int raw) {
    reaped_ = true;
    raw_ = raw;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  void lost() {
    reaped_ = true;
    lost_ = true;
    status_ = -1;
  }

  pid_t pid_ = 0;
  bool reaped_ = true;
  bool lost_ = false;  // ended, but reaped by someone else
  int raw_ = 0;        // the status as waitpid reported it
  int status_ = 0;
  int stdin_ = -1;
  Reader stdout_;
  Reader stderr_;
};

}  // namespace

Result<std::unique_ptr<ChildProcess>> ChildProcess::start(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const ChildOptions& options) {
  // A child that dies while we write its input must not take this process down.
  ::signal(SIGPIPE, SIG_IGN);
  auto child = std::make_unique<PosixChild>();
  Status launched = child->launch(program, arguments, options);
  if (!launched.ok()) return launched.failure();
  return std::unique_ptr<ChildProcess>(std::move(child));
}

}  // namespace kcs::kit
