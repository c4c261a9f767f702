#include <gtest/gtest.h>

#include "discord_ipc/discord_activity.h"

namespace kcs::kit {
namespace {

TEST(DecodeSetActivity, ReadsTheServiceCommandForms) {
  Result<DiscordActivity> menus = decodeSetActivity(
      R"({"args":{"activity":{"details":"In the menus","instance":false,"state":"Duskmere","type":0},"pid":4321},"cmd":"SET_ACTIVITY","nonce":"korvessa-1"})");
  ASSERT_TRUE(menus.ok()) << menus.error();
  EXPECT_EQ(menus->pid, 4321u);
  EXPECT_FALSE(menus->cleared);
  EXPECT_EQ(menus->details, "In the menus");
  EXPECT_EQ(menus->state, "Duskmere");
  EXPECT_FALSE(menus->startSeconds.has_value());
  EXPECT_EQ(menus->nonce, "korvessa-1");

  Result<DiscordActivity> playing = decodeSetActivity(
      R"({"args":{"activity":{"details":"Playing on Duskmere","instance":false,"state":"Adventurer","timestamps":{"start":1700000000},"type":0},"pid":4321},"cmd":"SET_ACTIVITY","nonce":"korvessa-2"})");
  ASSERT_TRUE(playing.ok()) << playing.error();
  EXPECT_EQ(playing->startSeconds, 1700000000u);

  Result<DiscordActivity> cleared = decodeSetActivity(
      R"({"args":{"activity":null,"pid":0},"cmd":"SET_ACTIVITY","nonce":"korvessa-3"})");
  ASSERT_TRUE(cleared.ok()) << cleared.error();
  EXPECT_TRUE(cleared->cleared);
  EXPECT_EQ(cleared->pid, 0u);
}

TEST(DecodeSetActivity, RefusesWhatDiscordCouldNotShow) {
  const char* cases[] = {
      "",
      "[1]",
      R"({"args":{"activity":null,"pid":1},"cmd":"SUBSCRIBE"})",
      R"({"args":{"pid":1},"cmd":"SET_ACTIVITY"})",                       // activity left out
      R"({"args":{"activity":{},"pid":1},"cmd":"SET_ACTIVITY"})",          // no texts
      R"({"args":{"activity":null,"pid":-1},"cmd":"SET_ACTIVITY"})",
      R"({"args":{"activity":null,"pid":4294967296},"cmd":"SET_ACTIVITY"})",
      R"({"args":{"activity":{"details":"a","state":"b","timestamps":{"start":"1"}},"pid":1},"cmd":"SET_ACTIVITY"})",
  };
  for (const char* payload : cases) EXPECT_FALSE(decodeSetActivity(payload).ok()) << payload;
}

TEST(DecodeHandshake, TakesTheApplicationId) {
  EXPECT_EQ(decodeHandshake(R"({"client_id":"1414517946361729054","v":1})").value(),
            "1414517946361729054");
  EXPECT_FALSE(decodeHandshake(R"({"client_id":1414517946361729054,"v":1})").ok());
}

TEST(DecodePresenceLine, MapsEachStateToTheTextsDiscordShows) {
  struct Case {
    const char* line;
    const char* details;
    const char* state;
    std::optional<std::uint64_t> start;
  };
  const Case cases[] = {
      {"Discord presence updated pid=42 state=Menus\n", "In the menus", "Duskmere", {}},
      {"Discord presence updated pid=42 state=Creating", "Creating an Adventurer", "Duskmere", {}},
      {"Discord presence updated pid=42 state=Playing(1700000000)\r\n", "Playing on Duskmere",
       "Adventurer", 1700000000u},
  };
  for (const Case& c : cases) {
    Result<DiscordActivity> activity = decodePresenceLine(c.line);
    ASSERT_TRUE(activity.ok()) << c.line << activity.error();
    EXPECT_EQ(activity->pid, 42u);
    EXPECT_EQ(activity->details, c.details);
    EXPECT_EQ(activity->state, c.state);
    EXPECT_EQ(activity->startSeconds, c.start);
  }
  for (const char* bad : {"Discord IPC connected application=1414517946361729054",
                          "Discord presence updated pid= state=Menus",
                          "Discord presence updated pid=42 state=Playing()",
                          "Discord presence updated pid=42 state=Playing(12",
                          "Discord presence updated pid=42 state=menus"}) {
    EXPECT_FALSE(decodePresenceLine(bad).ok()) << bad;
  }
}

TEST(FormatElapsed, MinutesAndSecondsThenHours) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "00:00"}, {59, "00:59"}, {61, "01:01"}, {3599, "59:59"}, {3600, "1:00:00"},
      {90061, "25:01:01"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(formatElapsed(seconds), text) << seconds;
}

TEST(DescribeActivity, ShowsTextsAndElapsedTime) {
  DiscordActivity playing{7, false, "Playing on Duskmere", "Adventurer", 1000, ""};
  EXPECT_EQ(describeActivity(playing, 1063),
            "\"Playing on Duskmere\" / \"Adventurer\", elapsed 01:03 since start");
  // A start ahead of the clock (clocks of two processes) never shows a huge wrapped number.
  EXPECT_EQ(describeActivity(playing, 999),
            "\"Playing on Duskmere\" / \"Adventurer\", elapsed 00:00 since start");
  DiscordActivity cleared;
  cleared.cleared = true;
  EXPECT_EQ(describeActivity(cleared, 0), "activity cleared");
}

}  // namespace
}  // namespace kcs::kit
