#include "diagnostics.h"

#include <condition_variable>
#include <utility>

namespace kcs::kit::detail {
namespace {

// How long the reader waits for a line before it looks whether it should end.
constexpr unsigned kSliceMs = 200;

}  // namespace

struct Diagnostics::Delivery {
  Handler handler;
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::string> waiting;
  bool readerDone = false;
  bool stopped = false;
  bool inHandler = false;
};

Diagnostics::Diagnostics(Handler handler) {
  if (handler) {
    delivery_ = std::make_shared<Delivery>();
    delivery_->handler = std::move(handler);
  }
}

Diagnostics::~Diagnostics() {
  stopReading(false);
  stopDelivering();
}

void Diagnostics::begin(ChildProcess& child, const std::atomic<bool>& childEnded) {
  if (delivery_) {
    deliverer_ = std::thread([delivery = delivery_] {
      try {
        std::unique_lock<std::mutex> lock(delivery->lock);
        for (;;) {
          delivery->wake.wait(lock, [&] {
            return delivery->stopped || delivery->readerDone || !delivery->waiting.empty();
          });
          if (delivery->stopped || delivery->waiting.empty()) return;
          std::string line = std::move(delivery->waiting.front());
          delivery->waiting.pop_front();
          delivery->inHandler = true;
          lock.unlock();
          try {
            delivery->handler(line);
          } catch (...) {
            // The handler's failure is the handler's: the next line still goes to it.
          }
          lock.lock();
          delivery->inHandler = false;
        }
      } catch (...) {
        // A failure of the delivery itself ends delivering, never the launcher.
      }
    });
  }
  reader_ = std::thread([this, &child, &childEnded] { read(child, childEnded); });
}

void Diagnostics::read(ChildProcess& child, const std::atomic<bool>& childEnded) {
  try {
    while (!stopRequested_) {
      Result<std::string> line = child.readStderrLine(kSliceMs, kLongestLine);
      if (line.ok()) {
        take(std::move(line).value());
      } else if (line.code() == Code::kTimedOut) {
        if (childEnded) break;
      } else {
        // The end of the stream: a last line without its line feed is a line too.
        Result<std::string> rest = child.readStderrToEnd(0);
        if (rest.ok() && !rest->empty()) take(std::move(rest).value());
        break;
      }
    }
  } catch (...) {
    // Out of memory, most likely: the reading ends, the launcher goes on.
  }
  if (delivery_) {
    {
      std::lock_guard<std::mutex> guard(delivery_->lock);
      delivery_->readerDone = true;
    }
    delivery_->wake.notify_all();
  }
}

void Diagnostics::take(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  {
    std::lock_guard<std::mutex> guard(keptLock_);
    if (kept_.size() == kKeptLines) kept_.pop_front();
    kept_.push_back(line);
  }
  if (!delivery_) return;
  {
    std::lock_guard<std::mutex> guard(delivery_->lock);
    if (delivery_->waiting.size() >= kMostWaiting) return;
    delivery_->waiting.push_back(std::move(line));
  }
  delivery_->wake.notify_one();
}

void Diagnostics::stopReading(bool drained) {
  if (!drained) stopRequested_ = true;
  if (reader_.joinable()) reader_.join();
}

void Diagnostics::stopDelivering() {
  if (!delivery_) return;
  bool inHandler = false;
  {
    std::lock_guard<std::mutex> guard(delivery_->lock);
    delivery_->stopped = true;
    delivery_->waiting.clear();
    inHandler = delivery_->inHandler;
  }
  delivery_->wake.notify_all();
  if (!deliverer_.joinable()) return;
  if (inHandler || deliverer_.get_id() == std::this_thread::get_id()) {
    deliverer_.detach();
  } else {
    deliverer_.join();
  }
}

std::vector<std::string> Diagnostics::lastLines() const {
  std::lock_guard<std::mutex> guard(keptLock_);
  return {kept_.begin(), kept_.end()};
}

}  // namespace kcs::kit::detail
