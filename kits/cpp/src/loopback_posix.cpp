// POSIX sockets: send with MSG_NOSIGNAL, interrupted calls repeated.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "loopback.h"

namespace kcs::kit::detail {
namespace {

Failure lastError(const char* what) {
  return fail(std::string(what) + ": " + std::system_category().message(errno));
}

}  // namespace

Result<LoopbackConnection> LoopbackConnection::open(std::uint16_t port,
                                                    unsigned timeoutMs) {
  LoopbackConnection connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connection.handle_ < 0) return lastError("socket");
  // Linux bounds connect() by the send time-out too.
  if (Status limited = connection.limitWaits(timeoutMs); !limited.ok()) return limited.failure();
  const int fd = static_cast<int>(connection.handle_);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return lastError("connect");
  }
  return connection;
}

Status LoopbackConnection::limitWaits(unsigned timeoutMs) {
  const int fd = static_cast<int>(handle_);
  timeval timeout{static_cast<time_t>(timeoutMs / 1000),
                  static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    return lastError("receive time-out");
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
    return lastError("send time-out");
  }
  return Status::success();
}

Result<std::size_t> LoopbackConnection::send(std::string_view bytes) {
  const std::size_t piece = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : bytes.size();
  for (;;) {
    ssize_t n = ::send(static_cast<int>(handle_), bytes.data(), piece, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return lastError("send");
  }
}

void LoopbackConnection::shutdownSending() { ::shutdown(static_cast<int>(handle_), SHUT_WR); }

Result<std::size_t> LoopbackConnection::receive(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(handle_), buffer, capacity, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == ESHUTDOWN) return std::size_t{0};
    if (errno != EINTR) return lastError("receive");
  }
}

void LoopbackConnection::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace kcs::kit::detail
