#include "common/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kcs {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Validity, AcceptsWellFormedAndRefusesEveryIllFormedShape) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"plain ascii", true},
      {"\xC2\x80", true},                // U+0080, smallest two-byte
      {"\xDF\xBF", true},                // U+07FF
      {"\xE0\xA0\x80", true},            // U+0800, smallest three-byte
      {"\xED\x9F\xBF", true},            // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", true},            // U+E000, just above them
      {"\xEF\xBB\xBF", true},            // byte-order mark is an ordinary character
      {"\xF0\x90\x80\x80", true},        // U+10000
      {"\xF4\x8F\xBF\xBF", true},        // U+10FFFF
      {"\xC0\xAF", false},               // overlong "/"
      {"\xC1\xBF", false},               // overlong
      {"\xE0\x9F\xBF", false},           // overlong three-byte
      {"\xF0\x8F\xBF\xBF", false},       // overlong four-byte
      {"\xED\xA0\x80", false},           // U+D800, a surrogate
      {"\xED\xBF\xBF", false},           // U+DFFF
      {"\xF4\x90\x80\x80", false},       // U+110000
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\x80", false},                   // lone continuation
      {"\xC2", false},                   // truncated at end
      {"\xE2\x82", false},
      {"\xF0\x9F\x98", false},
      {"ok\xC2 then", false},            // truncated in the middle
      {std::string("nul\0inside", 10), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpartWithOneReplacementCharacter) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abc", "abc"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},                         // valid text untouched
      {"a\x80" "b", "a" + kFffd + "b"},
      {"\x80\x80", kFffd + kFffd},                             // each stray continuation alone
      {"\xE2\x82" "A", kFffd + "A"},                           // truncated prefix is one subpart
      {"\xF0\x9F\x98" "A", kFffd + "A"},
      {"\xF0\x9F\x98", kFffd},                                 // truncated at end of input
      {"\xE0\x80\x80", kFffd + kFffd + kFffd},                 // overlong: E0 80 is not a prefix
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},                 // surrogate: ED A0 is not a prefix
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},     // above U+10FFFF
      {"\xC0\xAF", kFffd + kFffd},
      {"\xF5\xFF", kFffd + kFffd},
      {"\xE2\x82\xE2\x82\xAC", kFffd + "\xE2\x82\xAC"},         // invalid prefix then a valid one
      {"\xC2\xC2\xA9", kFffd + "\xC2\xA9"},
      // The example from the Unicode standard's discussion of maximal subparts.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.expected) << testing::PrintToString(c.bytes);
  }
}

TEST(Utf8IncompleteSuffix, OnlyAWellFormedStartCutByTheEnd) {
  struct Case {
    std::string bytes;
    std::size_t expected;
  };
  const std::vector<Case> cases = {
      {"", 0},           {"abc", 0},           {"a\xC3\xA9", 0},       // complete
      {"a\xC3", 1},      {"a\xE2\x82", 2},     {"a\xF0\x9F\x98", 3},  // cut by the end
      {"\xF4\x8F", 2},   {"\xE0\xA0", 2},       {"\xED\x9F", 2},
      {"\xE0\x80", 0},   {"\xED\xA0", 0},       {"\xF4\x90", 0},        // not a start of anything
      {"\xF0\x8F\xBF", 0},
      {"\xC0", 0},       {"\xC1", 0},          {"\xF5", 0},   {"\xFF", 0},  {"\x80", 0},
      {"\xBF\xBF\xBF", 0},                                            // no lead at all
      {"\xC3\xA9\xA9", 0},                                            // a stray continuation
      {"\xF0\x9F\x98\x80\x80", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(incompleteUtf8Suffix(c.bytes), c.expected) << testing::PrintToString(c.bytes);
  }
}

TEST(Utf8WhiteSpace, MatchesTheWhiteSpacePropertyExactly) {
  const std::vector<char32_t> spaces = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                                        0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                        0x3000};
  for (const char32_t c : spaces) EXPECT_TRUE(isUnicodeWhiteSpace(c)) << std::hex << static_cast<std::uint32_t>(c);
  // Neighbours and look-alikes that are not white space.
  const std::vector<char32_t> others = {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x84, 0x86, 0x9F,
                                        0x180E, 0x200B, 0x200C, 0x2060, 0xFEFF, 0x1FFF, 0x3001};
  for (const char32_t c : others) EXPECT_FALSE(isUnicodeWhiteSpace(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(Utf8Trim, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {" \t\r\n", ""},
      {"{}\r\n", "{}"},
      {"\xC2\xA0{ }\xE3\x80\x80", "{ }"},                    // NBSP, ideographic space
      {"\xE2\x80\xA8x\xE2\x80\xA9", "x"},                    // line and paragraph separators
      {"\xC2\x85x\xC2\x85", "x"},                            // next line
      {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}"},                   // byte-order mark stays
      {"{}\xE2\x80\x8B", "{}\xE2\x80\x8B"},                   // zero-width space stays
      {"a \xC2\xA0 b", "a \xC2\xA0 b"},                       // inner white space stays
      {"\xC3\xA9", "\xC3\xA9"},                               // a non-space ending in 0xA9
      {"\xE3\x80\x80", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimUnicodeWhiteSpace(c.text), c.expected) << testing::PrintToString(c.text);
  }
}

TEST(Utf8Split, YieldsTheNonEmptyPiecesBetweenWhiteSpaceRuns) {
  using Pieces = std::vector<std::string_view>;
  EXPECT_EQ(splitUnicodeWhiteSpace(""), Pieces{});
  EXPECT_EQ(splitUnicodeWhiteSpace(" \t "), Pieces{});
  EXPECT_EQ(splitUnicodeWhiteSpace("GET /x HTTP/1.1"), (Pieces{"GET", "/x", "HTTP/1.1"}));
  EXPECT_EQ(splitUnicodeWhiteSpace("  a\t\tb  "), (Pieces{"a", "b"}));
  EXPECT_EQ(splitUnicodeWhiteSpace("a\xC2\xA0" "b\xE2\x80\x83" "c"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(splitUnicodeWhiteSpace("\xC3\xA9\xC2\xA0\xE2\x82\xAC"),
            (Pieces{"\xC3\xA9", "\xE2\x82\xAC"}));
  EXPECT_EQ(splitUnicodeWhiteSpace("a\xEF\xBB\xBF" "b"), (Pieces{"a\xEF\xBB\xBF" "b"}));
}

}  // namespace
}  // namespace kcs
