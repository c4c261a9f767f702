// The serving side of a Discord IPC endpoint on Windows (or Wine): named pipe instances.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "discord_ipc/ipc_listener.h"
#include "platform/platform.h"

namespace kcs::ipc {
namespace {

using namespace kcs::platform;

// The pipe instance exists before anyone accepts, so a client that comes first still connects;
// a second client gets an instance of its own; the server sees a closed client as end of stream.
TEST(NamedPipesWin32, ClientsConnectBeforeAndDuringAccept) {
  const unsigned index = 7;  // clear of index 0, which the end-to-end test stands in for
  EXPECT_EQ(discordIpcName(index), "\\\\.\\pipe\\discord-ipc-7");
  Result<IpcListener> listener = listenIpc(discordIpcName(index));
  ASSERT_TRUE(listener.ok()) << listener.error();
  // A second server on the same name would take some of the clients: refused, under Wine too
  // (which does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE).
  EXPECT_TRUE(ipcEndpointServed(discordIpcName(index)).value());
  EXPECT_FALSE(listenIpc(discordIpcName(index)).ok());

  Result<IpcChannel> early = openDiscordIpc(index);
  ASSERT_TRUE(early.ok()) << early.error();
  Result<IpcChannel> served = acceptIpc(*listener);
  ASSERT_TRUE(served.ok()) << served.error();
  EXPECT_EQ(writeIpc(*early, "hello", 5).value(), 5u);
  char buffer[16];
  EXPECT_EQ(readIpc(*served, buffer, sizeof(buffer)).value(), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  early->reset();
  EXPECT_EQ(readIpc(*served, buffer, sizeof(buffer)).value(), 0u);

  std::atomic<bool> opened{false};
  std::thread client([&] {
    sleepMilliseconds(100);
    Result<IpcChannel> late = openDiscordIpc(index);
    opened = late.ok();
    if (late.ok()) (void)writeIpc(*late, "x", 1);
  });
  Result<IpcChannel> second = acceptIpc(*listener);
  client.join();
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_TRUE(opened);
  EXPECT_EQ(readIpc(*second, buffer, sizeof(buffer)).value(), 1u);
}

}  // namespace
}  // namespace kcs::ipc
