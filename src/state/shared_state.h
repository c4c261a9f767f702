// SharedState: the one record that the main thread, the presence worker and every connection
// thread share, each through its own std::shared_ptr.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "state/records.h"

namespace kcs {

// One optional record behind its own lock. The lock is held only to copy, replace, take or empty
// the value, never across other work.
template <class T>
class Slot {
 public:
  explicit Slot(const char* lockName) : lockName_(lockName) {}

  void replace(T value) {
    auto guard = lock();
    value_ = std::move(value);
  }
  std::optional<T> take() {
    auto guard = lock();
    return std::exchange(value_, std::nullopt);
  }
  std::optional<T> copy() const {
    auto guard = lock();
    return value_;
  }
  void clear() {
    auto guard = lock();
    value_.reset();
  }
  // Empties the slot only if it holds a value that matches; returns whether it emptied it.
  bool clearIf(const std::function<bool(const T&)>& matches) {
    auto guard = lock();
    if (!value_ || !matches(*value_)) return false;
    value_.reset();
    return true;
  }

  const char* lockName() const { return lockName_; }

 private:
  std::unique_lock<std::mutex> lock() const;

  const char* lockName_;
  mutable std::mutex mutex_;
  std::optional<T> value_;
};

struct SharedState {
  explicit SharedState(std::string accessToken) : token(std::move(accessToken)) {}

  const std::string token;  // written once before any other thread exists
  Slot<LoginTicket> launchTicket{"launch ticket lock"};
  Slot<PresenceSession> presenceSession{"presence lock"};
};

// A lock that cannot be taken is reported by the lock's name; the thread that meets it ends.
[[noreturn]] void throwBrokenLock(const char* lockName);

template <class T>
std::unique_lock<std::mutex> Slot<T>::lock() const {
  try {
    return std::unique_lock<std::mutex>(mutex_);
  } catch (...) {
    throwBrokenLock(lockName_);
  }
}

}  // namespace kcs
