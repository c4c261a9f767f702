#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/raw_exchange.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace kcs::kit {
namespace {

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
