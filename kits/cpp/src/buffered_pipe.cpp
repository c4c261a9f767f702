#include "korvessa/launcher_kit/buffered_pipe.h"

#include <utility>

namespace kcs::kit {

Result<std::string> BufferedPipe::line(unsigned timeoutMs, std::size_t maxBytes) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = pending.find('\n');
    if (end != std::string::npos || pending.size() >= maxBytes) {
      const std::size_t size = end != std::string::npos && end < maxBytes ? end + 1 : maxBytes;
      std::string result = pending.substr(0, size);
      pending.erase(0, size);
      return result;
    }
    if (!fill(deadline)) {
      return ended ? fail(Code::kEndOfStream, "stream ended") : fail(Code::kTimedOut, "timed out");
    }
  }
}

Result<std::string> BufferedPipe::toEnd(unsigned timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ended) {
    if (!fill(deadline) && !ended) return fail(Code::kTimedOut, "timed out");
  }
  return std::exchange(pending, std::string());
}

}  // namespace kcs::kit
