// The proxy-log scanner against a slow, plain reference: cut the text into lines, try the six
// markers on each line in order, and apply each line's result to the state one at a time.
//
// The same text is also fed to a ReverseLogScan from its end in pieces of one size, and scanned
// after lossy UTF-8 decoding; both must agree with the reference.
//
// Input layout: byte 0 picks the state before the text (Menus, Creating, or Playing since 42)
// and the piece size (1 to 40 bytes); the rest is the text. The clock is fixed at a time other than 42, so a kept start time and a
// new one can be told apart; the clock may only be read when the result is a new Playing.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "fuzz_check.h"
#include "presence/proxy_log_scanner.h"

namespace {

using kcs::PresenceState;
using Kind = PresenceState::Kind;

constexpr std::uint64_t kEarlierStart = 42;
constexpr std::uint64_t kNow = 1700000000;

unsigned clockReads = 0;
std::uint64_t fixedClock() {
  ++clockReads;
  return kNow;
}

std::optional<Kind> referenceClassify(std::string_view line) {
  struct Marker {
    std::string_view text;
    Kind kind;
  };
  static constexpr std::array<Marker, 6> kMarkers{{
      {"Parsed owned SMSG_CHAR_ENUM", Kind::Menus},
      {"preview=00044B000000", Kind::Menus},
      {"Rewrote CMSG_CHAR_CREATE", Kind::Creating},
      {"preview=000C36000000", Kind::Creating},
      {"preview=000C3D000000", Kind::Playing},
      {"preview=00083D000000", Kind::Playing},
  }};
  for (const Marker& marker : kMarkers) {
    // Every start position, compared byte by byte.
    for (std::size_t at = 0; at + marker.text.size() <= line.size(); ++at) {
      bool same = true;
      for (std::size_t i = 0; i < marker.text.size() && same; ++i) {
        same = line[at + i] == marker.text[i];
      }
      if (same) return marker.kind;
    }
  }
  return std::nullopt;
}

// Split after every LF; each piece loses its LF and then one CR; a final piece without an LF is
// a line too (keeping its CR); an empty text has no lines.
std::vector<std::string_view> referenceLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    std::string_view line = text.substr(start, i - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

PresenceState referenceScan(PresenceState state, std::string_view text) {
  for (std::string_view line : referenceLines(text)) {
    const std::optional<Kind> kind = referenceClassify(line);
    FUZZ_CHECK(kcs::classifyLine(line) == kind);
    if (!kind) continue;
    if (*kind == Kind::Menus) state = PresenceState::menus();
    if (*kind == Kind::Creating) state = PresenceState::creating();
    if (*kind == Kind::Playing && state.kind != Kind::Playing) state = PresenceState::playing(kNow);
  }
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const std::array<PresenceState, 3> kBefore{
      PresenceState::menus(), PresenceState::creating(), PresenceState::playing(kEarlierStart)};
  const PresenceState before = kBefore[data[0] % kBefore.size()];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  clockReads = 0;
  const PresenceState scanned = kcs::scanProxyLog(before, text, fixedClock);
  const PresenceState expected = referenceScan(before, text);
  FUZZ_CHECK(scanned.kind == expected.kind);
  FUZZ_CHECK(scanned == expected);
  if (clockReads > 0) FUZZ_CHECK(scanned == PresenceState::playing(kNow));

  const std::size_t pieceSize = data[0] / kBefore.size() % 40 + 1;
  kcs::ReverseLogScan inPieces;
  for (std::string_view rest = text; !rest.empty() && !inPieces.decided();) {
    const std::size_t piece = std::min(pieceSize, rest.size());
    inPieces.feedBefore(rest.substr(rest.size() - piece));
    rest.remove_suffix(piece);
  }
  FUZZ_CHECK(inPieces.result(before, fixedClock) == expected);
  FUZZ_CHECK(kcs::scanProxyLog(before, kcs::decodeUtf8Lossy(text), fixedClock) == expected);
  return 0;
}
