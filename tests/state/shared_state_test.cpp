#include "state/shared_state.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>

namespace kcs {
namespace {

TEST(SharedStateSlots, ReplaceTakeCopyAndClear) {
  SharedState state("token");
  EXPECT_FALSE(state.launchTicket.take().has_value());

  LoginTicket first;
  first.ticket = "one";
  LoginTicket second;
  second.ticket = "two";
  state.launchTicket.replace(first);
  state.launchTicket.replace(second);
  std::optional<LoginTicket> taken = state.launchTicket.take();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->ticket, "two");
  EXPECT_FALSE(state.launchTicket.take().has_value());  // handed out once

  state.presenceSession.replace(PresenceSession{5, 10});
  EXPECT_EQ(state.presenceSession.copy()->pid, 5u);
  EXPECT_EQ(state.presenceSession.copy()->pid, 5u);  // copying leaves it in place
  EXPECT_FALSE(state.presenceSession.clearIf([](const PresenceSession& s) { return s.pid == 6; }));
  EXPECT_TRUE(state.presenceSession.clearIf([](const PresenceSession& s) { return s.pid == 5; }));
  EXPECT_FALSE(state.presenceSession.copy().has_value());
}

TEST(SharedStateSlots, BrokenLockNamesTheLock) {
  try {
    throwBrokenLock("presence lock");
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("presence lock"), std::string::npos);
  }
}

}  // namespace
}  // namespace kcs
