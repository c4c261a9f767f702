// The game state shown in Discord, and how lines of the authentication proxy's log change it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kcs {

struct PresenceState {
  enum class Kind : std::uint8_t { Menus, Creating, Playing };

  Kind kind = Kind::Menus;
  std::uint64_t startTime = 0;  // whole Unix seconds; meaningful only for Playing

  static PresenceState menus() { return {Kind::Menus, 0}; }
  static PresenceState creating() { return {Kind::Creating, 0}; }
  static PresenceState playing(std::uint64_t since) { return {Kind::Playing, since}; }

  // Same variant and, for Playing, the same start time.
  friend bool operator==(const PresenceState& a, const PresenceState& b) {
    return a.kind == b.kind && (a.kind != Kind::Playing || a.startTime == b.startTime);
  }
};

// "Menus", "Creating" or "Playing(<start time>)", as the worker's console line prints it.
std::string toText(const PresenceState& state);

// The variant that one line (without its line ending) asks for, or nothing. The six markers are
// tried in a fixed order and the first one found anywhere in the line decides.
std::optional<PresenceState::Kind> classifyLine(std::string_view line);

// Whole Unix seconds; the production clock is the precise wall clock.
using WallClock = std::uint64_t (*)();

// The state after applying every line of text (split after each LF, a final partial line
// included) to current. A Playing line keeps an existing Playing state's start time; otherwise
// the start time is read from clock, which is only consulted when the result is a new Playing.
PresenceState scanProxyLog(const PresenceState& current, std::string_view text,
                           WallClock clock = platform::unixTimeSeconds);

}  // namespace kcs
