#include "presence/proxy_log_scanner.h"

#include <array>
#include <cstring>

namespace kcs {
namespace {

using Kind = PresenceState::Kind;

struct Marker {
  std::string_view text;
  Kind kind;
};

// Tried in this order; the first marker found in a line decides.
constexpr std::array<Marker, 6> kMarkers{{
    {"Parsed owned SMSG_CHAR_ENUM", Kind::Menus},
    {"preview=00044B000000", Kind::Menus},
    {"Rewrote CMSG_CHAR_CREATE", Kind::Creating},
    {"preview=000C36000000", Kind::Creating},
    {"preview=000C3D000000", Kind::Playing},
    {"preview=00083D000000", Kind::Playing},
}};

// Every marker contains one of these anchors (twelve of its bytes), so a line without an anchor
// has no marker. Finding anchors across the whole text, instead of testing six markers on every
// line, keeps the scan fast: lines are looked at one by one only where an anchor occurs, which in
// a real log is almost nowhere. The anchors start at rare byte pairs ("w=", "SM", "CM") because
// the proxy writes "preview=" and hex digits on most of its lines.
constexpr std::size_t kAnchorLength = 12;
constexpr std::array<std::string_view, 6> kAnchors{{
    "SMSG_CHAR_EN", "w=00044B0000", "CMSG_CHAR_CR", "w=000C360000", "w=000C3D0000", "w=00083D0000",
}};

constexpr std::size_t pairIndex(unsigned char first, unsigned char second) {
  return static_cast<std::size_t>(first) | (static_cast<std::size_t>(second) << 8);
}

// Backward Horspool over byte pairs: the window [i, i + 12) may step back by the shift of the
// pair at i: its smallest start offset inside an anchor (0: an anchor may begin at i), or 11 when
// no anchor contains it. A step never passes over an anchor's start. The table stores 7 - shift, so
// its zero fill already means "not in any anchor".
using ShiftTable = std::array<std::uint8_t, 65536>;

constexpr std::uint8_t kMaxShift = kAnchorLength - 1;

constexpr ShiftTable makeShiftTable() {
  ShiftTable table{};
  for (std::string_view anchor : kAnchors) {
    for (std::size_t j = 0; j + 1 < kAnchorLength; ++j) {
      std::size_t index = pairIndex(static_cast<unsigned char>(anchor[j]),
                                    static_cast<unsigned char>(anchor[j + 1]));
      auto reach = static_cast<std::uint8_t>(kMaxShift - j);
      if (table[index] < reach) table[index] = reach;
    }
  }
  return table;
}

constexpr ShiftTable kReach = makeShiftTable();

constexpr bool allAnchorsHaveTheLength() {
  for (std::string_view anchor : kAnchors) {
    if (anchor.size() != kAnchorLength) return false;
  }
  return true;
}
static_assert(allAnchorsHaveTheLength());

bool anchorAt(const char* at) {
  for (std::string_view anchor : kAnchors) {
    if (std::memcmp(at, anchor.data(), kAnchorLength) == 0) return true;
  }
  return false;
}

// Start of the last anchor that lies wholly inside text[0, end), or npos.
std::size_t lastAnchorBefore(std::string_view text, std::size_t end) {
  if (end < kAnchorLength) return std::string_view::npos;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = end - kAnchorLength;
  for (;;) {
    std::size_t shift = kMaxShift - kReach[pairIndex(bytes[i], bytes[i + 1])];
    if (shift == 0) {
      if (anchorAt(text.data() + i)) return i;
      shift = 1;
    }
    if (i < shift) return std::string_view::npos;
    i -= shift;
  }
}

struct MarkedLine {
  std::size_t begin = 0;  // first byte of the line
  Kind kind = Kind::Menus;
};

// The last line that starts before end and carries a marker, looking only at text[0, end).
// end is always 0, the text's size, or the start of a line, so lines are never cut.
std::optional<MarkedLine> lastMarkedLine(std::string_view text, std::size_t end) {
  while (end > 0) {
    std::size_t hit = lastAnchorBefore(text, end);
    if (hit == std::string_view::npos) return std::nullopt;
    std::size_t begin = hit;
    while (begin > 0 && text[begin - 1] != '\n') --begin;
    const void* lineFeed = std::memchr(text.data() + hit, '\n', end - hit);
    std::size_t stop =
        lineFeed ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - text.data()) : end;
    // Markers hold no CR or LF, so classifying with a trailing CR still attached is the same.
    if (std::optional<Kind> kind = classifyLine(text.substr(begin, stop - begin))) {
      return MarkedLine{begin, *kind};
    }
    end = begin;
  }
  return std::nullopt;
}

}  // namespace

std::string toText(const PresenceState& state) {
  switch (state.kind) {
    case Kind::Menus:
      return "Menus";
    case Kind::Creating:
      return "Creating";
    case Kind::Playing:
      break;
  }
  return "Playing(" + std::to_string(state.startTime) + ")";
}

std::optional<Kind> classifyLine(std::string_view line) {
  for (const Marker& marker : kMarkers) {
    if (line.find(marker.text) != std::string_view::npos) return marker.kind;
  }
  return std::nullopt;
}

// Only the last decisive lines matter, so the text is read from its end. The last marked line
// names the variant. A Playing result keeps the old start time only if the state was already
// Playing and no Menus or Creating line occurs anywhere in the text; otherwise play (re)started
// inside this text and the start time is read now, exactly as a line-by-line pass would.
PresenceState scanProxyLog(const PresenceState& current, std::string_view text, WallClock clock) {
  std::optional<MarkedLine> last = lastMarkedLine(text, text.size());
  if (!last) return current;
  if (last->kind != Kind::Playing) return PresenceState{last->kind, 0};

  std::size_t end = last->begin;
  while (std::optional<MarkedLine> earlier = lastMarkedLine(text, end)) {
    if (earlier->kind != Kind::Playing) return PresenceState::playing(clock());
    end = earlier->begin;
  }
  if (current.kind == Kind::Playing) return current;
  return PresenceState::playing(clock());
}

}  // namespace kcs
