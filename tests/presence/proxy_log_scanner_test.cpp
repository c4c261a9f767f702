#include "presence/proxy_log_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/utf8.h"

namespace kcs {
namespace {

using Kind = PresenceState::Kind;

constexpr std::uint64_t kNow = 1700000000;
int clockReads = 0;
std::uint64_t fakeClock() {
  ++clockReads;
  return kNow;
}

PresenceState scan(const PresenceState& current, std::string_view text) {
  return scanProxyLog(current, text, fakeClock);
}

TEST(ClassifyLine, MarkersInTheirOrder) {
  struct Case {
    const char* line;
    std::optional<Kind> expected;
  };
  const Case cases[] = {
      {"12:00 Parsed owned SMSG_CHAR_ENUM (3 chars)", Kind::Menus},
      {"S->C preview=00044B000000 len=6", Kind::Menus},
      {"Rewrote CMSG_CHAR_CREATE", Kind::Creating},
      {"preview=000C36000000", Kind::Creating},
      {"C->S preview=000C3D000000", Kind::Playing},
      {"xpreview=00083D000000y", Kind::Playing},
      // Several markers in one line: the earliest in the table wins, not the earliest in the line.
      {"preview=000C3D000000 Rewrote CMSG_CHAR_CREATE", Kind::Creating},
      {"preview=00083D000000 preview=000C36000000 Parsed owned SMSG_CHAR_ENUM", Kind::Menus},
      // Byte-exact: lower-case hex, a different case or a near miss are no markers.
      {"preview=000c3d000000", std::nullopt},
      {"preview=00044b000000", std::nullopt},
      {"parsed owned SMSG_CHAR_ENUM", std::nullopt},
      {"Rewrote CMSG_CHAR_CREAT", std::nullopt},
      {"preview=000C3D00000", std::nullopt},
      {"preview=0100AA000000 MSG_CHAR_UNKNOWN", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(classifyLine(c.line), c.expected) << c.line;
}

TEST(PresenceStateText, Forms) {
  EXPECT_EQ(toText(PresenceState::menus()), "Menus");
  EXPECT_EQ(toText(PresenceState::creating()), "Creating");
  EXPECT_EQ(toText(PresenceState::playing(42)), "Playing(42)");
  EXPECT_EQ(toText(PresenceState::playing(18446744073709551615u)), "Playing(18446744073709551615)");
}

TEST(ScanProxyLog, Cases) {
  const std::string menus = "Parsed owned SMSG_CHAR_ENUM";
  const std::string create = "Rewrote CMSG_CHAR_CREATE";
  const std::string play = "preview=000C3D000000";
  const std::string play2 = "preview=00083D000000";
  struct Case {
    const char* name;
    PresenceState before;
    std::string text;
    PresenceState expected;
    int expectedClockReads;
  };
  const Case cases[] = {
      {"empty text", PresenceState::playing(42), "", PresenceState::playing(42), 0},
      {"no marker", PresenceState::playing(42), "a\nb\r\nc", PresenceState::playing(42), 0},
      {"last marker decides", PresenceState::menus(), menus + "\n" + create + "\n",
       PresenceState::creating(), 0},
      {"playing keeps its start", PresenceState::playing(42), play + "\n" + play2 + "\n",
       PresenceState::playing(42), 0},
      {"play, menus, play restarts", PresenceState::playing(42),
       play + "\n" + menus + "\n" + play + "\n", PresenceState::playing(kNow), 1},
      {"menus to play", PresenceState::menus(), "x\n" + play + "\nnoise\n",
       PresenceState::playing(kNow), 1},
      {"CRLF lines", PresenceState::menus(), create + "\r\n" + play + "\r\n",
       PresenceState::playing(kNow), 1},
      {"final partial line counts", PresenceState::menus(), "x\n" + create,
       PresenceState::creating(), 0},
      {"partial line with CR", PresenceState::menus(), "x\n" + create + "\r",
       PresenceState::creating(), 0},
      {"marker at text start", PresenceState::playing(42), menus + "\nx\n", PresenceState::menus(),
       0},
      {"marker split by LF", PresenceState::menus(), "preview=000C3D\n000000\n",
       PresenceState::menus(), 0},
      {"two markers on one line", PresenceState::menus(),
       "preview=000C3D000000 Rewrote CMSG_CHAR_CREATE\n", PresenceState::creating(), 0},
      {"lower-case hex ignored", PresenceState::creating(), "preview=000c3d000000\n",
       PresenceState::creating(), 0},
      {"marker line before a plain last line", PresenceState::creating(),
       menus + "\n" + std::string(5000, 'e') + "\n", PresenceState::menus(), 0},
  };
  for (const Case& c : cases) {
    clockReads = 0;
    EXPECT_EQ(scan(c.before, c.text), c.expected) << c.name;
    EXPECT_EQ(clockReads, c.expectedClockReads) << c.name;
  }
}

TEST(ScanProxyLog, MarkerSplitAcrossTwoTextsIsNotFound) {
  PresenceState state = scan(PresenceState::menus(), "abc preview=000C");
  state = scan(state, "3D000000\n");
  EXPECT_EQ(state, PresenceState::menus());
}

// A plain line-by-line pass, the obvious reading of the rules, to hold the fast scan against.
// It has its own marker table so that it shares nothing with the scanner.
std::optional<Kind> referenceClassify(std::string_view line) {
  static const std::pair<std::string_view, Kind> kMarkers[] = {
      {"Parsed owned SMSG_CHAR_ENUM", Kind::Menus}, {"preview=00044B000000", Kind::Menus},
      {"Rewrote CMSG_CHAR_CREATE", Kind::Creating}, {"preview=000C36000000", Kind::Creating},
      {"preview=000C3D000000", Kind::Playing},      {"preview=00083D000000", Kind::Playing},
  };
  for (const auto& [marker, kind] : kMarkers) {
    if (line.find(marker) != std::string_view::npos) return kind;
  }
  return std::nullopt;
}

PresenceState referenceScan(PresenceState state, std::string_view text) {
  while (!text.empty()) {
    std::size_t lineFeed = text.find('\n');
    std::string_view line = text.substr(0, lineFeed);
    text = lineFeed == std::string_view::npos ? std::string_view() : text.substr(lineFeed + 1);
    if (!line.empty() && line.back() == '\r' && lineFeed != std::string_view::npos) {
      line.remove_suffix(1);
    }
    std::optional<Kind> kind = referenceClassify(line);
    if (!kind) continue;
    if (*kind != Kind::Playing) {
      state = PresenceState{*kind, 0};
    } else if (state.kind != Kind::Playing) {
      state = PresenceState::playing(kNow);
    }
  }
  return state;
}

// The text fed to a ReverseLogScan from its end in pieces of random sizes.
PresenceState scanInPieces(const PresenceState& current, std::string_view text,
                           std::mt19937& random, std::size_t largestPiece) {
  std::uniform_int_distribution<std::size_t> size(1, largestPiece);
  ReverseLogScan scan;
  while (!text.empty() && !scan.decided()) {
    const std::size_t piece = std::min(size(random), text.size());
    scan.feedBefore(text.substr(text.size() - piece));
    text.remove_suffix(piece);
  }
  return scan.result(current, fakeClock);
}

TEST(ScanProxyLog, AgreesWithALineByLinePass) {
  // Pieces chosen to put anchors, near misses and line ends in every relative position, with
  // bytes that are not UTF-8 and stretches that make lines longer than the pieces fed below.
  const std::vector<std::string> pieces = {
      "Parsed owned SMSG_CHAR_ENUM", "preview=00044B000000", "Rewrote CMSG_CHAR_CREATE",
      "preview=000C36000000",        "preview=000C3D000000", "preview=00083D000000",
      "preview=0001AA000000",        "SMSG_CHAR_",           "preview=",
      "MSG_CHA",                     "\n",                   "\r\n",
      "\n",                          "ordinary log text ",   "p",
      "e",                           "=",                    "\r",
      "w=000C3D0000",                "00",                   "0C3D",
      "preview=00044B00000",         "CMSG_CHAR_CR",         "w=",
      "\xFF",                        "caf\xE9",              "\xF0\x9F",
      "\xC3",                        "\xA9",                 std::string(90, 'x'),
  };
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  const PresenceState starts[] = {PresenceState::menus(), PresenceState::creating(),
                                  PresenceState::playing(42)};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int n = length(random); n > 0; --n) text += pieces[pick(random)];
    for (const PresenceState& start : starts) {
      const PresenceState expected = referenceScan(start, text);
      ASSERT_EQ(scan(start, text), expected) << "start " << toText(start) << " text:\n" << text;
      if (round % 4 != 0) continue;  // the rest, slower, on a quarter of the texts
      ASSERT_EQ(scanInPieces(start, text, random, 1 + round / 4 % 40), expected)
          << "start " << toText(start) << " text:\n" << text;
      // Scanning the bytes as they are is scanning their lossy decoding.
      ASSERT_EQ(scan(start, decodeUtf8Lossy(text)), expected)
          << "start " << toText(start) << " text:\n" << text;
    }
  }
}

TEST(ScanProxyLog, InvalidBytesDoNotHideAMarker) {
  EXPECT_EQ(scan(PresenceState::menus(), "\xFF\xFE\nx \xC0 Rewrote CMSG_CHAR_CREATE \xE9\n\xF0"),
            PresenceState::creating());
}

}  // namespace
}  // namespace kcs
