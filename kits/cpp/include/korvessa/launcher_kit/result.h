// Result<T>: an operation's value or its failure text; Status is the same without a value. The
// kit keeps its own copy of this small type so that its headers stand on their own.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kcs::kit {

struct Failure {
  std::string text;
};

inline Failure fail(std::string text) { return Failure{std::move(text)}; }

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

  const std::string& error() const { return std::get<1>(v_).text; }

 private:
  std::variant<T, Failure> v_;
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure failure) : failed_(true), error_(std::move(failure.text)) {}  // NOLINT

  static Status success() { return Status(); }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  bool failed_ = false;
  std::string error_;
};

}  // namespace kcs::kit
