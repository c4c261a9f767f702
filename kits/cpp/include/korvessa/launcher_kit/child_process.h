// Starting and watching a child process with pipes on its standard streams: what a launcher does
// with the service, and what the tests and the demo do with the service and with stand-ins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/result.h"
#include "korvessa/launcher_kit/buffered_pipe.h"

namespace kcs::kit {

// How a child ended, once wait() or kill() has seen it. Neither member is set when another part
// of this process reaped it first (POSIX), as its status is lost.
struct ChildEnd {
  std::optional<int> exitStatus;  // it exited with this status
  std::optional<int> signal;      // POSIX: this signal ended it
};

struct ChildOptions {
  bool pipeStdin = true;    // otherwise the child reads an empty, closed input
  bool pipeStdout = true;   // otherwise the child's output goes to this process's stream
  bool pipeStderr = true;
  // Extra environment entries "NAME=value" added to (or replacing in) this process's environment.
  std::vector<std::string> environment;
};

class ChildProcess {
 public:
  // Starts program with arguments (program name not included in arguments). A program that
  // cannot be started fails with Code::kSpawn and says whether it is missing, a directory or
  // not runnable. On POSIX the first
  // start sets SIGPIPE to be ignored in the whole calling process: a child that has gone must
  // turn a write to its standard input into an error, not end the launcher.
  static Result<std::unique_ptr<ChildProcess>> start(const std::string& program,
                                                     const std::vector<std::string>& arguments,
                                                     const ChildOptions& options = {});
  virtual ~ChildProcess() = default;

  virtual std::uint32_t pid() const = 0;

  // Writes all bytes to the child's standard input.
  virtual Status writeStdin(const std::string& bytes) = 0;
  // Closes the child's standard input (end of input).
  virtual void closeStdin() = 0;
  // Stops reading the child's standard error: its later writes there fail (a broken pipe).
  virtual void closeStderr() = 0;

  // Reads standard output up to and including the next line feed (or its first maxBytes bytes),
  // waiting at most timeoutMs. Fails with Code::kTimedOut on time-out or Code::kEndOfStream when
  // the stream ends first (the partial line is kept for the next call).
  Result<std::string> readStdoutLine(unsigned timeoutMs,
                                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) {
    return output().line(timeoutMs, maxBytes);
  }
  // Reads the rest of standard output / standard error until the stream ends, waiting at most
  // timeoutMs in all.
  Result<std::string> readStdoutToEnd(unsigned timeoutMs) { return output().toEnd(timeoutMs); }
  Result<std::string> readStderrToEnd(unsigned timeoutMs) { return errors().toEnd(timeoutMs); }
  // Reads standard error as readStdoutLine reads standard output.
  Result<std::string> readStderrLine(unsigned timeoutMs,
                                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max()) {
    return errors().line(timeoutMs, maxBytes);
  }

  // Waits at most timeoutMs for the child to end; its exit status, or nothing on time-out. A
  // child ended by a signal gives 128 + the signal; one that another part of this process reaped
  // first (POSIX) gives -1, as its status is lost.
  virtual std::optional<int> wait(unsigned timeoutMs) = 0;
  // Ends the child at once (SIGKILL / TerminateProcess) and reaps it.
  virtual void kill() = 0;
  // How the child ended, once wait() or kill() has seen it: "with status 3", "by signal 9".
  virtual std::string howEnded() const = 0;
  // The same as a value; nothing while the child has not been seen to end.
  virtual std::optional<ChildEnd> end() const = 0;

  // For a watching thread: blocks until the child has ended, without reaping it, so that its
  // pid stays its own until wait() reaps it. While one thread waits here, another may call
  // terminate(), and then wait(0) once this has returned; nothing else.
  virtual void awaitEnd() = 0;
  // Ends the child at once (SIGKILL / TerminateProcess) without reaping it: wait() does that. A
  // child already reaped gets no signal.
  virtual void terminate() = 0;

 protected:
  // The child's standard output and standard error, as this platform reads them.
  virtual BufferedPipe& output() = 0;
  virtual BufferedPipe& errors() = 0;
};

}  // namespace kcs::kit
