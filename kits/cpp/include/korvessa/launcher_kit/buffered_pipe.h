// A child's output pipe read with a deadline, on any platform: bytes read past the part asked for
// are kept for the next call. The platform twin supplies one read.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

class BufferedPipe {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~BufferedPipe() = default;

  // Up to and including the next line feed, or the first maxBytes bytes when no line feed comes
  // within them; fails on time-out or when the stream ends first.
  Result<std::string> line(unsigned timeoutMs,
                           std::size_t maxBytes = std::numeric_limits<std::size_t>::max());
  // Everything until the stream ends.
  Result<std::string> toEnd(unsigned timeoutMs);

 protected:
  // Appends what one read brings to pending, waiting at most until deadline. Returns false on
  // time-out, or at the end of the stream after setting ended.
  virtual bool fill(Clock::time_point deadline) = 0;

  std::string pending;
  bool ended = false;
};

}  // namespace kcs::kit
