// Result<T>: an operation's value or its failure; Status is the same without a value. A failure
// carries a code for callers that branch on why something failed, and a text for people. The
// kit keeps its own copy of this small type so that its headers stand on their own.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kcs::kit {

// Why an operation failed. The first seven are the error kinds every kit shares (kits/README.md).
enum class Code : unsigned char {
  kOk = 0,
  kInvalidArgument,  // an option or argument refused before anything started
  kSpawn,            // the executable could not be started
  kExited,           // the service ended before it announced its address
  kAnnounceTimeout,  // no address line within the announce time-out
  kBadAnnouncement,  // the first line on standard output is not an address line
  kHttp,             // a reply other than the one the route promises
  kConnection,       // the request could not be made or its reply not read
  kTimedOut,         // a wait for a child's output ran out of time
  kEndOfStream,      // a child's output ended before what was asked for
  kIoError,          // any other failure of the system or of the data read
};

// "invalid-argument", "spawn", "exited", ...: the code as a word for logs and messages.
inline const char* codeName(Code code) {
  switch (code) {
    case Code::kOk: return "ok";
    case Code::kInvalidArgument: return "invalid-argument";
    case Code::kSpawn: return "spawn";
    case Code::kExited: return "exited";
    case Code::kAnnounceTimeout: return "announce-timeout";
    case Code::kBadAnnouncement: return "bad-announcement";
    case Code::kHttp: return "http";
    case Code::kConnection: return "connection";
    case Code::kTimedOut: return "timed-out";
    case Code::kEndOfStream: return "end-of-stream";
    case Code::kIoError: return "io-error";
  }
  return "unknown";
}

// A failure: its code, a sentence for people, and what some codes carry beyond the sentence.
// No member ever holds the access token.
struct Failure {
  Failure() = default;
  Failure(Code failureCode, std::string failureText)
      : code(failureCode), text(std::move(failureText)) {}

  Code code = Code::kIoError;
  std::string text;
  std::string argument;                  // kInvalidArgument: the option or record field refused
  int httpStatus = 0;                    // kHttp: the reply's status code
  std::string httpBody;                  // kHttp: the reply's body
  std::optional<int> exitStatus;         // kExited, kConnection: the service exited with this
  std::optional<int> signal;             // kExited, kConnection (POSIX): a signal ended it
  std::vector<std::string> diagnostics;  // kExited: its last lines of standard error
};

inline Failure fail(Code code, std::string text) { return Failure{code, std::move(text)}; }
inline Failure fail(std::string text) { return Failure{Code::kIoError, std::move(text)}; }
// A kInvalidArgument failure naming the option or field: "<argument> <problem>".
inline Failure refuse(std::string argument, const std::string& problem) {
  Failure failure{Code::kInvalidArgument, argument + " " + problem};
  failure.argument = std::move(argument);
  return failure;
}

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure failure) : v_(std::move(failure)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Code code() const { return ok() ? Code::kOk : std::get<1>(v_).code; }
  const std::string& error() const { return std::get<1>(v_).text; }
  // The failure as it is, to hand on with its code: return result.failure();
  const Failure& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure failure) : failure_(std::move(failure)) {}  // NOLINT

  static Status success() { return Status(); }
  bool ok() const { return failure_.code == Code::kOk; }
  explicit operator bool() const { return ok(); }
  Code code() const { return failure_.code; }
  const std::string& error() const { return failure_.text; }
  const Failure& failure() const { return failure_; }

 private:
  Failure failure_{Code::kOk, {}};
};

}  // namespace kcs::kit
