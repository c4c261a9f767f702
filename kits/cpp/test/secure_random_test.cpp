#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "korvessa/launcher_kit/secure_random.h"

namespace kcs::kit {
namespace {

TEST(SecureRandom, TokenIsLongEnoughLowerCaseHex) {
  Result<std::string> token = generateAccessToken();
  ASSERT_TRUE(token.ok()) << token.error();
  EXPECT_EQ(token->size(), 64u);
  EXPECT_GE(token->size(), 32u);  // the service refuses shorter tokens
  EXPECT_TRUE(std::all_of(token->begin(), token->end(),
                          [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
      << *token;
}

TEST(SecureRandom, TokensDoNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 16; ++i) seen.insert(generateAccessToken().value());
  EXPECT_EQ(seen.size(), 16u);
}

TEST(SecureRandom, LargeRequestIsFilledToTheEnd) {
  // Large requests may come back in pieces; the tail must be filled too, not left at zero.
  std::vector<unsigned char> bytes(1 << 20, 0);
  ASSERT_TRUE(fillSecureRandom(bytes.data(), bytes.size()).ok());
  auto tail = bytes.end() - 64;
  EXPECT_FALSE(std::all_of(tail, bytes.end(), [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(secureRandomHex(0).value(), "");
}

}  // namespace
}  // namespace kcs::kit
