// The service's diagnostics kept for a reader that pulls them, as the project's tests and the
// demo do: a SidecarOptions::onDiagnostic handler that keeps each line, and the next line with a
// time limit. Not installed with the kit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kcs::kit {

class DiagnosticLines {
 public:
  // For SidecarOptions::onDiagnostic; it keeps what it shares with this alive, so the kit may
  // call it after this is gone.
  std::function<void(const std::string&)> handler() const {
    return [shared = shared_](const std::string& line) {
      {
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->lines.push_back(line);
      }
      shared->added.notify_all();
    };
  }

  // The next line, or nothing when none came within timeout.
  std::optional<std::string> next(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(shared_->lock);
    if (!shared_->added.wait_for(guard, timeout, [this] { return !shared_->lines.empty(); })) {
      return std::nullopt;
    }
    std::string line = std::move(shared_->lines.front());
    shared_->lines.pop_front();
    return line;
  }

 private:
  struct Shared {
    std::mutex lock;
    std::condition_variable added;
    std::deque<std::string> lines;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace kcs::kit
