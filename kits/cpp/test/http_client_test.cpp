#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/raw_exchange.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace kcs::kit {
namespace {

// What the shared table cannot say on every platform (its address lines come from stand-in
// scripts): the line is the address exactly as the service writes it, or it is refused.
TEST(AnnouncedPort, OnlyTheServicesOwnAddressLineIsAnAddress) {
  EXPECT_EQ(parseAnnouncedPort("http://127.0.0.1:1\n").value(), 1);
  EXPECT_EQ(parseAnnouncedPort("http://127.0.0.1:9\r\n").value(), 9);
  EXPECT_EQ(parseAnnouncedPort("http://127.0.0.1:65535").value(), 65535);
  for (const char* line : {"http://127.0.0.1:09\n", "http://127.0.0.1:0", "http://127.0.0.1:+9",
                           "http://127.0.0.1:9\r", "http://127.0.0.1:9 ", "http://127.0.0.1:65536",
                           "http://127.0.0.1:", "http://localhost:9", "http://192.0.2.1:9",
                           "http://127.0.0.1:9\n\n", ""}) {
    EXPECT_FALSE(parseAnnouncedPort(line).ok()) << line;
  }
}

TEST(ExchangeRaw, APeerThatNeverReadsCannotHoldTheSenderForGood) {
  // Nobody accepts: the system takes the connection and a few buffers of the request, then the
  // send waits for room that never comes. It must give up after the time-out, not block.
  kcs::Result<platform::Socket> listener = platform::bindLoopbackListener(4);
  ASSERT_TRUE(listener.ok()) << listener.error();
  kcs::Result<std::string> address = platform::localAddress(*listener);
  ASSERT_TRUE(address.ok()) << address.error();
  const Result<std::uint16_t> port = parseAnnouncedPort("http://" + *address);
  ASSERT_TRUE(port.ok()) << port.error();

  const Result<std::string> reply = exchangeRaw(*port, std::string(64 << 20, 'x'), 300);
  EXPECT_FALSE(reply.ok()) << "nothing was answered";
}

}  // namespace
}  // namespace kcs::kit
