#include "lifecycle/launcher_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kcs {
namespace {

const std::string kToken32(32, 'k');
const std::string kValid = R"({"token":")" + kToken32 + R"(","clientDir":"C:\\Games\\K"})";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(LauncherConfig, AcceptsValidLinesAndKeepsTheValues) {
  const std::vector<std::string> lines = {
      kValid,
      kValid + "\n",
      kValid + "\r\n",
      kValid + "\n{\"ignored\":true}\n",  // only the first line is the caller's concern
      "\xC2\xA0\xE3\x80\x80 " + kValid + " \xC2\xA0\xE2\x80\xA8\t\r\n",
      R"({"clientDir":"","token":")" + kToken32 + R"(","extra":[{"a":[1,2]},null]})",
      R"([")" + kToken32 + R"(","dir"])",
      // Eleven three-byte characters: 33 bytes, though only 11 characters.
      R"({"token":")"
      "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
      "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC" R"(","clientDir":"d"})",
  };
  for (const auto& line : lines) {
    const std::size_t lineFeed = line.find('\n');
    Result<Config> config =
        parseLauncherConfig(lineFeed == std::string::npos ? line : line.substr(0, lineFeed + 1));
    EXPECT_TRUE(config.ok()) << testing::PrintToString(line) << ": "
                             << (config.ok() ? "" : config.error());
  }
  Result<Config> config = parseLauncherConfig(kValid + "\r\n");
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(config->token, kToken32);
  EXPECT_EQ(config->clientDir, "C:\\Games\\K");
}

TEST(LauncherConfig, EveryFailureHasItsExactMessage) {
  struct Case {
    std::string line;
    std::string expected;  // whole message, or its start when it ends in "..."
  };
  // The process-level start-up tests cover the other messages byte for byte.
  const std::vector<Case> cases = {
      {"\n", "invalid launcher configuration: syntax error: unexpected end of input at line 1 "
             "column 0"},
      {"{\"token\":\"" + kToken32 + "\",\n", "invalid launcher configuration: syntax error..."},
      {R"({"token":")" + kToken32 + R"("})",
       "invalid launcher configuration: missing field `clientDir` at line 1 column 44"},
      {R"({"token":"a","token":"b","clientDir":""})",
       "invalid launcher configuration: duplicate field `token` at line 1 column 20"},
      {R"({"token":12345678901234567890123456789012,"clientDir":""})",
       "invalid launcher configuration: invalid type: integer `12345678901234567890123456789012`, "
       "expected a string..."},
      {R"({"token":7,"clientDir":""})",
       "invalid launcher configuration: invalid type: integer `7`, expected a string..."},
      {R"(["a"])",
       "invalid launcher configuration: invalid length 1, expected struct Config with 2 elements "
       "at line 1 column 5"},
      {R"(["a","b","c"])", "invalid launcher configuration: trailing characters..."},
      {R"("text")", "invalid launcher configuration: invalid type: string, expected struct Config..."},
      {"{\"token\":\"" + kToken32 + "\",\xC2\xA0\"clientDir\":\"\"}",
       "invalid launcher configuration: syntax error..."},
      {R"({"token":")" + std::string(31, 'k') + R"(","clientDir":""})",
       "launcher configuration is incomplete"},
      {R"({"token":"","clientDir":""})", "launcher configuration is incomplete"},
      {R"({"Token":")" + kToken32 + R"(","clientDir":""})",
       "invalid launcher configuration: missing field `token`..."},
  };
  for (const auto& c : cases) {
    Result<Config> config = parseLauncherConfig(c.line);
    ASSERT_FALSE(config.ok()) << testing::PrintToString(c.line);
    const bool prefixOnly = c.expected.size() > 3 && c.expected.substr(c.expected.size() - 3) == "...";
    if (prefixOnly) {
      const std::string prefix = c.expected.substr(0, c.expected.size() - 3);
      EXPECT_TRUE(startsWith(config.error(), prefix))
          << testing::PrintToString(c.line) << "\n  got " << config.error();
      EXPECT_NE(config.error().find(" at line 1 column "), std::string::npos) << config.error();
    } else {
      EXPECT_EQ(config.error(), c.expected) << testing::PrintToString(c.line);
    }
  }
}

TEST(LauncherConfig, FailureTextsNeverEchoTheToken) {
  const std::string secret = "S3CRET-" + std::string(30, 'z');
  const std::vector<std::string> lines = {
      "{\"token\":\"" + secret + "\x01\",\"clientDir\":\"\"}",
      "{\"token\":\"" + secret,
      "[\"" + secret + "\",5]",
      // The library would quote the string up to the tab, and the quote itself holds what
      // looks like the end of its message.
      "{\"token\":\"AAAA'; expected " + secret + "\tmore\",\"clientDir\":\"\"}\n",
  };
  for (const auto& line : lines) {
    Result<Config> config = parseLauncherConfig(line);
    ASSERT_FALSE(config.ok());
    EXPECT_EQ(config.error().find("S3CRET"), std::string::npos) << config.error();
  }
}

}  // namespace
}  // namespace kcs
