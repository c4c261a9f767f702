// The serving side of a Discord IPC endpoint, for the Discord stand-in and the tests, and the
// time-limited wait of the tools that read Discord's answers. The service only ever connects, so
// this lives with the tools and not in its platform layer. ipc_listener_posix.cpp and
// ipc_listener_win32.cpp implement it; CMake picks one.
#pragma once

#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace kcs::ipc {

struct IpcListener {
  std::string name;  // socket path or pipe name
  // POSIX: the listening socket; Windows: the pipe instance waiting for a client.
  platform::File handle;
};

// True when a program serves the endpoint at name now (something answers a connection);
// false when nothing is there or only a stale socket file is left.
Result<bool> ipcEndpointServed(const std::string& name);
// Creates the endpoint at name (a socket path on POSIX, replacing a stale one; a pipe name on
// Windows) and starts listening. An endpoint that another program serves is never taken over.
Result<IpcListener> listenIpc(const std::string& name);
// Waits for the next client and returns its channel.
Result<platform::IpcChannel> acceptIpc(IpcListener& listener);

// Waits up to timeoutMs for channel to have bytes to read or to be closed by the peer; false
// when the time ran out first. A following platform::readIpc then does not wait.
Result<bool> waitIpcReadable(platform::IpcChannel& channel, unsigned timeoutMs);

}  // namespace kcs::ipc
