// The demo's readable timeline: one event per line, stamped with the time since the demo began.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kcs::demo {

class Timeline {
 public:
  Timeline();

  // "[00:01.234] who          text"
  void event(std::string_view who, std::string_view text);
  // A numbered heading between groups of events.
  void heading(std::string_view text);
  // A plain line (banner, closing remark).
  void note(std::string_view text);

 private:
  void write(const std::string& line);

  std::chrono::steady_clock::time_point start_;
};

}  // namespace kcs::demo
