#include "presence/proxy_log_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace kcs {
namespace {

using Kind = PresenceState::Kind;

struct Marker {
  std::string_view text;
  Kind kind;
  std::string_view anchor;  // twelve of its bytes, see below
};

// Tried in this order; the first marker found in a line decides.
//
// Every marker contains its anchor, so a line without an anchor has no marker. Finding anchors
// across the whole text, instead of testing six markers on every line, keeps the scan fast: lines
// are looked at only where an anchor occurs, which in a real log is almost nowhere. The anchors
// start at rare byte pairs ("w=", "SM", "CM") because the proxy writes "preview=" and hex digits
// on most of its lines.
constexpr std::size_t kAnchorLength = 12;
constexpr std::array<Marker, 6> kMarkers{{
    {"Parsed owned SMSG_CHAR_ENUM", Kind::Menus, "SMSG_CHAR_EN"},
    {"preview=00044B000000", Kind::Menus, "w=00044B0000"},
    {"Rewrote CMSG_CHAR_CREATE", Kind::Creating, "CMSG_CHAR_CR"},
    {"preview=000C36000000", Kind::Creating, "w=000C360000"},
    {"preview=000C3D000000", Kind::Playing, "w=000C3D0000"},
    {"preview=00083D000000", Kind::Playing, "w=00083D0000"},
}};

constexpr bool markersFitTheTables() {
  std::size_t longest = 0;
  for (const Marker& marker : kMarkers) {
    if (marker.anchor.size() != kAnchorLength) return false;
    if (marker.text.find(marker.anchor) == std::string_view::npos) return false;
    if (marker.text.find_first_of("\r\n") != std::string_view::npos) return false;
    longest = std::max(longest, marker.text.size());
  }
  return longest == ReverseLogScan::kLongestMarker;
}
static_assert(markersFitTheTables());

// Where each marker's anchor begins inside the marker.
constexpr std::array<std::size_t, kMarkers.size()> kAnchorOffsets = [] {
  std::array<std::size_t, kMarkers.size()> offsets{};
  for (std::size_t i = 0; i < kMarkers.size(); ++i) {
    offsets[i] = kMarkers[i].text.find(kMarkers[i].anchor);
  }
  return offsets;
}();

constexpr std::size_t pairIndex(unsigned char first, unsigned char second) {
  return static_cast<std::size_t>(first) | (static_cast<std::size_t>(second) << 8);
}

// Backward Horspool over byte pairs: the window [i, i + 12) may step back by the shift of the
// pair at i: its smallest start offset inside an anchor (0: an anchor may begin at i), or 11 when
// no anchor contains it. A step never passes over an anchor's start. The table stores 11 - shift,
// so its zero fill already means "not in any anchor".
using ShiftTable = std::array<std::uint8_t, 65536>;

constexpr std::uint8_t kMaxShift = kAnchorLength - 1;

constexpr ShiftTable makeShiftTable() {
  ShiftTable table{};
  for (const Marker& marker : kMarkers) {
    for (std::size_t j = 0; j + 1 < kAnchorLength; ++j) {
      std::size_t index = pairIndex(static_cast<unsigned char>(marker.anchor[j]),
                                    static_cast<unsigned char>(marker.anchor[j + 1]));
      auto reach = static_cast<std::uint8_t>(kMaxShift - j);
      if (table[index] < reach) table[index] = reach;
    }
  }
  return table;
}

constexpr ShiftTable kReach = makeShiftTable();

// The marker whose anchor starts at `at` (twelve readable bytes), or kMarkers.size().
std::size_t anchorAt(const char* at) {
  for (std::size_t i = 0; i < kMarkers.size(); ++i) {
    if (std::memcmp(at, kMarkers[i].anchor.data(), kAnchorLength) == 0) return i;
  }
  return kMarkers.size();
}

struct AnchorHit {
  std::size_t at;      // start of the anchor in the text
  std::size_t marker;  // index in kMarkers
};

// The last anchor that lies wholly inside text[0, end), or nothing.
std::optional<AnchorHit> lastAnchorBefore(std::string_view text, std::size_t end) {
  if (end < kAnchorLength) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = end - kAnchorLength;
  for (;;) {
    std::size_t shift = kMaxShift - kReach[pairIndex(bytes[i], bytes[i + 1])];
    if (shift == 0) {
      if (std::size_t marker = anchorAt(text.data() + i); marker < kMarkers.size()) {
        return AnchorHit{i, marker};
      }
      shift = 1;
    }
    if (i < shift) return std::nullopt;
    i -= shift;
  }
}

// The variant of a line that carries the markers in the set (bit i: kMarkers[i]).
Kind kindOf(std::uint8_t markers) {
  return kMarkers[static_cast<std::size_t>(std::countr_zero(markers))].kind;
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

// The text is read from its end, since only the last decisive lines matter. The last marked line
// names the variant. A Playing result keeps the old start time only if the state was already
// Playing and no Menus or Creating line occurs anywhere before; otherwise play (re)started inside
// the text and the start time is read now, exactly as a line-by-line pass would.
//
// Bytes that are not UTF-8 are scanned as they are, not decoded first: decoding with each invalid
// sequence replaced by U+FFFD never alters, adds or removes an ASCII byte (a replaced sequence
// holds no ASCII byte, and U+FFFD is encoded without one), so the runs of ASCII bytes, and with
// them every line feed and every (pure ASCII) marker, are the same in both texts.
PresenceState scanProxyLog(const PresenceState& current, std::string_view text, WallClock clock) {
  ReverseLogScan scan;
  scan.feedBefore(text);
  return scan.result(current, clock);
}

// Markers are found where they start: a marker belongs to the piece holding its first byte. Those
// wholly inside the piece are found in the piece itself; those that run on into the text after it
// in a small seam of the piece's last bytes and the kept first bytes of that text.
void ReverseLogScan::feedBefore(std::string_view piece) {
  if (decided() || piece.empty()) return;
  std::size_t pos = piece.size();  // everything from here on has been looked at
  if (followingSize_ > 0) {
    char seam[2 * (kLongestMarker - 1)];
    const std::size_t tail = std::min(piece.size(), kLongestMarker - 1);
    std::memcpy(seam, piece.data() + piece.size() - tail, tail);
    std::memcpy(seam + tail, following_, followingSize_);
    std::size_t seamPos = tail;
    scanMarkers(std::string_view(seam, tail + followingSize_), tail, tail, seamPos);
    pos = piece.size() - tail + seamPos;
  }
  scanMarkers(piece, piece.size(), 0, pos);
  if (phase_ == Phase::FindingLastMarkedLine && openLineMarkers_ != 0 &&
      std::memchr(piece.data(), '\n', pos) != nullptr) {
    closeOpenLine();
  }

  const std::size_t kept = std::min(piece.size(), kLongestMarker - 1);
  const std::size_t keptBefore = std::min(followingSize_, kLongestMarker - 1 - kept);
  std::memmove(following_ + kept, following_, keptBefore);
  std::memcpy(following_, piece.data(), kept);
  followingSize_ = kept + keptBefore;
}

// Applies, from the last to the first, the markers of text that start before startsBefore, end
// after endsAfter and lie wholly inside text. pos is where the looked-at bytes begin: a line feed
// between a marker and pos means the open line started after it, so the open line is complete.
// Markers hold no line feed, so of two markers in different lines the later one is always met
// first, whatever the order of markers within one line.
void ReverseLogScan::scanMarkers(std::string_view text, std::size_t startsBefore,
                                 std::size_t endsAfter, std::size_t& pos) {
  std::size_t end = text.size();
  while (!decided()) {
    const std::optional<AnchorHit> hit = lastAnchorBefore(text, end);
    if (!hit) return;
    end = hit->at + kAnchorLength - 1;  // the next search finds anchors starting before this one
    const std::string_view marker = kMarkers[hit->marker].text;
    const std::size_t offset = kAnchorOffsets[hit->marker];
    if (hit->at < offset) continue;  // starts in an earlier piece, found there
    const std::size_t start = hit->at - offset;
    const std::size_t stop = start + marker.size();
    if (start >= startsBefore || stop <= endsAfter || stop > text.size()) continue;
    if (text.compare(start, marker.size(), marker) != 0) continue;
    if (phase_ == Phase::FindingLastMarkedLine && openLineMarkers_ != 0 && start < pos &&
        std::memchr(text.data() + start, '\n', pos - start) != nullptr) {
      closeOpenLine();
    }
    pos = std::min(pos, start);
    addMarker(hit->marker);
  }
}

void ReverseLogScan::addMarker(std::size_t index) {
  if (phase_ == Phase::FindingLastMarkedLine) {
    openLineMarkers_ = static_cast<std::uint8_t>(openLineMarkers_ | (1u << index));
  } else if (phase_ == Phase::AfterLastPlayingLine && kMarkers[index].kind != Kind::Playing) {
    phase_ = Phase::Decided;
    decidedKind_ = Kind::Playing;
  }
}

// The open line is complete: if it carries a marker, it is the text's last marked line.
void ReverseLogScan::closeOpenLine() {
  const std::uint8_t markers = openLineMarkers_;
  openLineMarkers_ = 0;
  if (markers == 0) return;
  const Kind kind = kindOf(markers);
  if (kind == Kind::Playing) {
    phase_ = Phase::AfterLastPlayingLine;
  } else {
    phase_ = Phase::Decided;
    decidedKind_ = kind;
  }
}

PresenceState ReverseLogScan::result(const PresenceState& current, WallClock clock) const {
  Phase phase = phase_;
  Kind kind = decidedKind_;
  if (phase == Phase::FindingLastMarkedLine) {
    // The open line starts the text; if it carries a marker, it is the last marked line.
    if (openLineMarkers_ == 0) return current;
    kind = kindOf(openLineMarkers_);
    phase = kind == Kind::Playing ? Phase::AfterLastPlayingLine : Phase::Decided;
  }
  if (phase == Phase::Decided) {
    return kind == Kind::Playing ? PresenceState::playing(clock()) : PresenceState{kind, 0};
  }
  // Every marked line is Playing.
  if (current.kind == Kind::Playing) return current;
  return PresenceState::playing(clock());
}

}  // namespace kcs
