// The serving side of a Discord IPC endpoint on POSIX: a Unix stream socket.
#include "discord_ipc/ipc_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/unix_socket_posix.h"

namespace kcs::ipc {
namespace {

using platform::File;
using platform::IpcChannel;

Failure lastError() { return fail(std::system_category().message(errno)); }

int fd(const File& f) { return static_cast<int>(f.get()); }

}  // namespace

Result<bool> ipcEndpointServed(const std::string& name) {
  Result<sockaddr_un> address = platform::unixAddress(name);
  if (!address.ok()) return fail(address.error());
  File probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe.valid()) return lastError();
  const auto* at = reinterpret_cast<const sockaddr*>(&*address);
  if (::connect(fd(probe), at, sizeof(sockaddr_un)) == 0) {
    return true;
  }
  // A full backlog is a listener too, a busy one; refused or missing means nobody listens.
  if (errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) return true;
  if (errno == ECONNREFUSED || errno == ENOENT) return false;
  return lastError();
}

Result<IpcListener> listenIpc(const std::string& name) {
  Result<sockaddr_un> address = platform::unixAddress(name);
  if (!address.ok()) return fail(address.error());
  IpcListener listener{name, File(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))};
  if (!listener.handle.valid()) return lastError();
  // Only a socket left behind by an earlier run is replaced: unlinking a live one would cut off
  // whoever serves it (a running Discord) until it restarts.
  Result<bool> served = ipcEndpointServed(name);
  if (!served.ok()) return fail(served.error());
  if (*served) return fail("the endpoint is already served by another program");
  ::unlink(name.c_str());
  const auto* at = reinterpret_cast<const sockaddr*>(&*address);
  if (::bind(fd(listener.handle), at, sizeof(sockaddr_un)) != 0 ||
      ::listen(fd(listener.handle), 16) != 0) {
    return lastError();
  }
  return listener;
}

Result<IpcChannel> acceptIpc(IpcListener& listener) {
  for (;;) {
    int accepted = ::accept(fd(listener.handle), nullptr, nullptr);
    if (accepted >= 0) return IpcChannel(accepted);
    if (errno != EINTR) return lastError();
  }
}

Result<bool> waitIpcReadable(IpcChannel& channel, unsigned timeoutMs) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long spent =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    const long long left = static_cast<long long>(timeoutMs) - spent;
    pollfd entry{fd(channel), POLLIN, 0};
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return true;  // data, end of stream or an error: the read tells which
    if (ready == 0) return false;
    if (errno != EINTR) return lastError();
  }
}

}  // namespace kcs::ipc
