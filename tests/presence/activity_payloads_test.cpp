#include "presence/activity_payloads.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "presence/discord_ipc_client.h"

namespace kcs {
namespace {

std::size_t digits(std::uint64_t value) { return std::to_string(value).size(); }

TEST(ActivityPayloads, ExactBytes) {
  struct Case {
    const char* name;
    nlohmann::json payload;
    std::string expected;
  };
  const Case cases[] = {
      {"menus", setActivityPayload(1, 4321, "In the menus", "Duskmere", std::nullopt),
       R"({"args":{"activity":{"details":"In the menus","instance":false,"state":"Duskmere",)"
       R"("type":0},"pid":4321},"cmd":"SET_ACTIVITY","nonce":"korvessa-1"})"},
      {"playing",
       setActivityPayload(1, 4321, "Playing on Duskmere", "Adventurer", 1700000000),
       R"({"args":{"activity":{"details":"Playing on Duskmere","instance":false,)"
       R"("state":"Adventurer","timestamps":{"start":1700000000},"type":0},"pid":4321},)"
       R"("cmd":"SET_ACTIVITY","nonce":"korvessa-1"})"},
      {"clear", clearActivityPayload(3, 4321),
       R"({"args":{"activity":null,"pid":4321},"cmd":"SET_ACTIVITY","nonce":"korvessa-3"})"},
      {"clear for no session", clearActivityPayload(1, 0),
       R"({"args":{"activity":null,"pid":0},"cmd":"SET_ACTIVITY","nonce":"korvessa-1"})"},
      {"control characters escaped in lower-case hex",
       setActivityPayload(2, 1, "a\x1f", "\"", std::nullopt),
       R"({"args":{"activity":{"details":"a\u001f","instance":false,"state":"\"",)"
       R"("type":0},"pid":1},"cmd":"SET_ACTIVITY","nonce":"korvessa-2"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.payload.dump(), c.expected) << c.name;
  EXPECT_EQ(cases[0].expected.size(), 146u);
  EXPECT_EQ(cases[1].expected.size(), 189u);
  EXPECT_EQ(cases[2].expected.size(), 79u);
}

TEST(ActivityPayloads, LengthsFollowTheDigitCounts) {
  const std::vector<std::uint32_t> pids = {0, 9, 10, 4321, 4294967295u};
  const std::vector<std::uint64_t> numbers = {1, 10, 999, 18446744073709551615u};
  std::size_t longest = 0;
  for (std::uint32_t pid : pids) {
    for (std::uint64_t nonce : numbers) {
      const std::size_t base = digits(pid) + digits(nonce);
      EXPECT_EQ(setActivityPayload(nonce, pid, "In the menus", "Duskmere", std::nullopt).dump().size(),
                141 + base);
      EXPECT_EQ(setActivityPayload(nonce, pid, "Creating an Adventurer", "Duskmere", std::nullopt)
                    .dump()
                    .size(),
                151 + base);
      EXPECT_EQ(clearActivityPayload(nonce, pid).dump().size(), 74 + base);
      for (std::uint64_t start : {std::uint64_t{0}, std::uint64_t{1700000000}, nonce}) {
        const std::size_t size =
            setActivityPayload(nonce, pid, "Playing on Duskmere", "Adventurer", start).dump().size();
        EXPECT_EQ(size, 174 + base + digits(start));
        longest = std::max(longest, size);
      }
    }
  }
  EXPECT_EQ(longest, 224u);
}

TEST(DiscordIpcFrames, HandshakeAndHeaders) {
  const std::string handshake = handshakePayload().dump();
  EXPECT_EQ(handshake, std::string(R"({"client_id":")") + kDiscordApplicationId + R"(","v":1})");
  EXPECT_EQ(handshake.size(), 41u);

  EXPECT_EQ(std::string(frameHeader(kOpcodeHandshake, 41).data(), 8),
            std::string("\x00\x00\x00\x00\x29\x00\x00\x00", 8));
  EXPECT_EQ(std::string(frameHeader(kOpcodeFrame, 0x01020304).data(), 8),
            std::string("\x01\x00\x00\x00\x04\x03\x02\x01", 8));
  // Only the low 32 bits of the size travel.
  EXPECT_EQ(std::string(frameHeader(kOpcodeFrame, 0x1000000FFull).data(), 8),
            std::string("\x01\x00\x00\x00\xFF\x00\x00\x00", 8));
}

TEST(DiscordIpcConnect, TriesTheTenEndpointsInOrderThenGivesUp) {
  std::vector<unsigned> tried;
  Result<DiscordIpcClient> client =
      DiscordIpcClient::connect([&](unsigned index) -> Result<platform::IpcChannel> {
        tried.push_back(index);
        return fail("no such endpoint");
      });
  ASSERT_FALSE(client.ok());
  EXPECT_EQ(client.error(), "Discord desktop IPC is unavailable");
  EXPECT_EQ(tried, (std::vector<unsigned>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(DiscordIpcConnect, AFailedHandshakeTriesNoFurtherIndex) {
  std::vector<unsigned> tried;
  Result<DiscordIpcClient> client =
      DiscordIpcClient::connect([&](unsigned index) -> Result<platform::IpcChannel> {
        tried.push_back(index);
        if (index < 2) return fail("no such endpoint");
        return platform::IpcChannel();  // opens, but cannot be written
      });
  EXPECT_FALSE(client.ok());
  EXPECT_EQ(tried, (std::vector<unsigned>{0, 1, 2}));
}

TEST(ActivityCommands, AFailedWriteStillUsesUpItsNonce) {
  DiscordIpcClient client;  // no endpoint: every write fails
  EXPECT_FALSE(setActivity(client, 4321, "In the menus", "Duskmere", std::nullopt).ok());
  EXPECT_EQ(client.nonceCounter, 1u);
  EXPECT_FALSE(clearActivity(client, 4321).ok());
  EXPECT_EQ(client.nonceCounter, 2u);
}

}  // namespace
}  // namespace kcs
