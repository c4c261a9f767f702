// The game state shown in Discord, and how lines of the authentication proxy's log change it.
#pragma once

#include <cstddef>
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
// Bytes that are not UTF-8 count as if each invalid sequence were one U+FFFD.
PresenceState scanProxyLog(const PresenceState& current, std::string_view text,
                           WallClock clock = platform::unixTimeSeconds);

// The same scan for a text that is handed over from its end, in pieces: each piece holds the
// bytes just before all pieces fed so far. Only the last decisive lines matter, so feeding can
// stop once decided() is true; result() is then what scanProxyLog gives for the whole text.
// Memory does not grow with the pieces or the lines: a line longer than a piece is carried as
// the set of markers found in it so far, and a marker cut between pieces is found through the
// first few bytes kept from the later piece.
class ReverseLogScan {
 public:
  // Feeds the bytes that come right before everything fed so far.
  void feedBefore(std::string_view piece);

  // True when no earlier text can change the result.
  bool decided() const { return phase_ == Phase::Decided; }

  // The state after the text fed so far, read as a whole, on top of current.
  PresenceState result(const PresenceState& current, WallClock clock) const;

  // Longest marker; a marker starting in a piece ends at most this many bytes minus one later.
  static constexpr std::size_t kLongestMarker = 27;

 private:
  enum class Phase : std::uint8_t {
    FindingLastMarkedLine,  // no line after the open one carries a marker
    AfterLastPlayingLine,   // the last marked line is Playing; an earlier Menus or Creating
                            // marker would mean play restarted within the text
    Decided,
  };

  void scanMarkers(std::string_view text, std::size_t startsBefore, std::size_t endsAfter,
                   std::size_t& pos);
  void addMarker(std::size_t index);
  void closeOpenLine();

  Phase phase_ = Phase::FindingLastMarkedLine;
  PresenceState::Kind decidedKind_ = PresenceState::Kind::Menus;  // Playing: started anew
  std::uint8_t openLineMarkers_ = 0;  // bit i: marker i is in the earliest line fed so far,
                                      // which may have begun in a piece still to come
  char following_[kLongestMarker - 1] = {};  // the first bytes fed so far
  std::size_t followingSize_ = 0;
};

}  // namespace kcs
