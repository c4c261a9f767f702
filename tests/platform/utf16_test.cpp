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

// A path that is not valid UTF-8 must not open some other file through a lenient conversion.
TEST(Utf8ToUtf16, RefusesMalformedText) {
  const char* cases[] = {
      "\x80",              // continuation byte without lead
      "\xC0\xAF",          // overlong "/"
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong three-byte
      "\xF0\x80\x80\xAF",  // overlong four-byte
      "\xED\xA0\x80",      // encoded surrogate (the generalized form is not accepted back)
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte out of range
      "\xFF",
      "\xC3",              // truncated at the end
      "ab\xE2\x82",        // truncated three-byte
      "\xE2\x28\xA1",      // bad continuation
  };
  for (const char* bytes : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(bytes)));
    EXPECT_FALSE(utf8ToUtf16(bytes).ok());
  }
}

}  // namespace
}  // namespace kcs::platform
