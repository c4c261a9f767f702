#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

#include "common/utf8.h"

namespace kcs::platform {
namespace {

struct WideCase {
  const char* name;
  std::u16string wide;
  std::string utf8;
  bool validUtf8;
};

// Command-line arguments arrive as UTF-16; a broken one must still convert, but to bytes that
// the command-line check refuses, while intact ones convert to plain UTF-8.
TEST(Utf16ToGeneralizedUtf8, ConvertsEachFormAndMarksLoneSurrogates) {
  const WideCase cases[] = {
      {"empty", u"", "", true},
      {"ascii", u"--launcher-pid", "--launcher-pid", true},
      {"two-byte", u"\u00e9", "\xC3\xA9", true},
      {"three-byte", u"\u20ac", "\xE2\x82\xAC", true},
      {"last BMP", u"\uffff", "\xEF\xBF\xBF", true},
      {"surrogate pair", u"\U0001F600", "\xF0\x9F\x98\x80", true},
      {"highest code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF", true},
      {"lone high", std::u16string{u'a', char16_t(0xD800), u'b'}, "a\xED\xA0\x80" "b", false},
      {"lone low", std::u16string{char16_t(0xDC00)}, "\xED\xB0\x80", false},
      {"high at end", std::u16string{u'x', char16_t(0xDBFF)}, "x\xED\xAF\xBF", false},
      {"reversed pair", std::u16string{char16_t(0xDC00), char16_t(0xD800)},
       "\xED\xB0\x80\xED\xA0\x80", false},
      {"two highs then low", std::u16string{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)},
       "\xED\xA0\x80\xF0\x90\x80\x80", false},
      {"embedded NUL", std::u16string(u"a\0b", 3), std::string("a\0b", 3), true},
  };
  for (const WideCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string converted = utf16ToGeneralizedUtf8(c.wide);
    EXPECT_EQ(converted, c.utf8);
    EXPECT_EQ(isValidUtf8(converted), c.validUtf8);
  }
}

TEST(Utf8ToUtf16, ConvertsValidText) {
  const WideCase cases[] = {
      {"empty", u"", "", true},
      {"ascii", u"C:\\Games\\Korvessa", "C:\\Games\\Korvessa", true},
      {"two-byte", u"D\u00fcsseldorf", "D\xC3\xBCsseldorf", true},
      {"three-byte", u"\u30b2\u30fc\u30e0", "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0", true},
      {"four-byte", u"\U0001F3AE", "\xF0\x9F\x8E\xAE", true},
      {"highest code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF", true},
  };
  for (const WideCase& c : cases) {
    SCOPED_TRACE(c.name);
    Result<std::u16string> wide = utf8ToUtf16(c.utf8);
    ASSERT_TRUE(wide.ok()) << wide.error();
    EXPECT_EQ(*wide, c.wide);
    EXPECT_EQ(utf16ToGeneralizedUtf8(*wide), c.utf8);
  }
}

// A path that is not valid UTF-8 must not open some other file through a lenient conversion;
// console text shows each ill-formed piece as one U+FFFD and keeps the rest.
TEST(Utf8ToUtf16, RefusesMalformedTextAndReplacesItForDisplay) {
  const struct {
    std::string bytes;
    std::u16string shown;
  } cases[] = {
      {"\x80", u"\uFFFD"},                              // continuation byte without lead
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                    // overlong "/"
      {"\xC1\xBF", u"\uFFFD\uFFFD"},                    // overlong
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},          // overlong three-byte
      {"\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong four-byte
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},          // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // lead byte out of range
      {"\xFF", u"\uFFFD"},
      {"\xC3", u"\uFFFD"},                              // truncated at the end
      {"ab\xE2\x82", u"ab\uFFFD"},                      // truncated three-byte: one piece
      {"\xE2\x28\xA1", u"\uFFFD(\uFFFD"},              // bad continuation, kept as text
      {"\xF0\x9F\x8E", u"\uFFFD"},                      // truncated four-byte
      {"caf\xC3\xA9 \xE9t\xC3\xA9", u"caf\u00e9 \uFFFDt\u00e9"},  // Latin-1 byte among UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_FALSE(utf8ToUtf16(c.bytes).ok());
    EXPECT_EQ(utf8ToUtf16Replacing(c.bytes), c.shown);
  }
  EXPECT_EQ(utf8ToUtf16Replacing("D\xC3\xBCsseldorf \xF0\x9F\x8E\xAE"), u"D\u00fcsseldorf \U0001F3AE");
}

}  // namespace
}  // namespace kcs::platform
