#include "korvessa/launcher_kit/buffered_pipe.h"

#include <utility>

namespace kcs::kit {

Result<std::string> BufferedPipe::line(unsigned timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = pending.find('\n');
    if (end != std::string::npos) {
      std::string result = pending.substr(0, end + 1);
      pending.erase(0, end + 1);
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
