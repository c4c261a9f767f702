#include "common/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kcs {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

TEST(UnsignedDecimal, AcceptsOnlyAnOptionalPlusAndDigitsWithinRange) {
  struct Case {
    std::string text;
    std::uint64_t max;
    std::optional<std::uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {"0", kMax64, 0},
      {"+7", kMax64, 7},
      {"000123", kMax64, 123},
      {"4294967295", kMax32, kMax32},
      {"4294967296", kMax32, std::nullopt},
      {"18446744073709551615", kMax64, kMax64},
      {"18446744073709551616", kMax64, std::nullopt},     // one past the top
      {"99999999999999999999999", kMax64, std::nullopt},  // would wrap several times
      {"0000000000000000000000001", kMax64, 1},           // leading zeros never overflow
      {"10", 9, std::nullopt},
      {"9", 9, 9},
      {"", kMax64, std::nullopt},
      {"+", kMax64, std::nullopt},
      {"++1", kMax64, std::nullopt},
      {"-1", kMax64, std::nullopt},
      {"-0", kMax64, std::nullopt},
      {" 1", kMax64, std::nullopt},
      {"1 ", kMax64, std::nullopt},
      {"0x10", kMax64, std::nullopt},
      {"1e3", kMax64, std::nullopt},
      {"1.0", kMax64, std::nullopt},
      {"\xD9\xA1", kMax64, std::nullopt},                  // Arabic-Indic digit one
      {"\xEF\xBC\x91", kMax64, std::nullopt},              // full-width digit one
      {std::string("1\0", 2), kMax64, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseUnsignedDecimal(c.text, c.max), c.expected) << testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace kcs
