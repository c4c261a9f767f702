// The service's standard error, read from the start on the kit's own thread so that the service
// never blocks on a full pipe, whatever the launcher does. Each line goes to the launcher's
// handler on a second thread, in order and outside every lock, so that a handler that throws or
// takes its time cannot hold up the reading; the last lines are kept for a failed start.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"

namespace kcs::kit::detail {

class Diagnostics {
 public:
  using Handler = std::function<void(const std::string&)>;

  static constexpr std::size_t kKeptLines = 100;
  // A longer line comes in pieces of this size.
  static constexpr std::size_t kLongestLine = 4096;
  // Lines read while the handler has not yet returned wait for it, up to this many; later ones
  // are dropped until it catches up.
  static constexpr std::size_t kMostWaiting = 1000;

  explicit Diagnostics(Handler handler);
  ~Diagnostics();
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  // Starts reading child's standard error. Once childEnded is set, a pipe that stays quiet for a
  // moment counts as ended, so that a process the child left behind holding the pipe cannot keep
  // the reader. Throws std::system_error when the system has no thread to give.
  void begin(ChildProcess& child, const std::atomic<bool>& childEnded);
  // Ends the reading and waits for the reader: drained, once the child has ended, after what the
  // pipe still holds; otherwise within a moment, leaving the pipe unread.
  void stopReading(bool drained);
  // No line goes to the handler after the one in progress. The delivering thread is waited for,
  // unless it is inside the handler (which may be the caller's own thread): then it is left to
  // end by itself as the handler returns.
  void stopDelivering();
  // The last kKeptLines lines, oldest first.
  std::vector<std::string> lastLines() const;

 private:
  struct Delivery;

  void read(ChildProcess& child, const std::atomic<bool>& childEnded);
  void take(std::string line);

  std::shared_ptr<Delivery> delivery_;  // shared with the delivering thread, which may outlive this
  std::thread reader_;
  std::thread deliverer_;
  std::atomic<bool> stopRequested_{false};
  mutable std::mutex keptLock_;
  std::deque<std::string> kept_;
};

}  // namespace kcs::kit::detail
