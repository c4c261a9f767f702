#include "timeline.h"

#include <cstdio>

#include "platform/platform.h"

namespace kcs::demo {

Timeline::Timeline() : start_(std::chrono::steady_clock::now()) {}

void Timeline::event(std::string_view who, std::string_view text) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start_)
                      .count();
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "[%02lld:%02lld.%03lld] ", static_cast<long long>(ms / 60000),
                static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
  std::string line = stamp;
  line.append(who);
  if (who.size() < 10) line.append(10 - who.size(), ' ');
  line.append(" ").append(text).append("\n");
  write(line);
}

void Timeline::heading(std::string_view text) { write("\n" + std::string(text) + "\n"); }

void Timeline::note(std::string_view text) { write(std::string(text) + "\n"); }

void Timeline::write(const std::string& line) {
  // Unbuffered, so that lines appear as the events happen even when the output is a pipe.
  (void)platform::writeStandardOutput(line);
}

}  // namespace kcs::demo
