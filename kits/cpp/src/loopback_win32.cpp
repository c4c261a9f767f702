// Winsock: started once on first use (the kit cannot count on its host having done it), and
// never cleaned up, since other parts of the host may use it too.
#include <winsock2.h>
#include <windows.h>

#include <climits>
#include <mutex>

#include "loopback.h"
#include "windows_text.h"

namespace kcs::kit::detail {
namespace {

Failure socketError(const char* what) {
  const auto code = static_cast<unsigned long>(::WSAGetLastError());
  return fail(std::string(what) + ": " + systemErrorText(code));
}

SOCKET socketOf(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

int pieceOf(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

Result<LoopbackConnection> LoopbackConnection::open(std::uint16_t port,
                                                    unsigned timeoutMs) {
  static std::once_flag started;
  static int startup = 0;
  std::call_once(started, [] {
    WSADATA data;
    startup = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (startup != 0) {
    return fail("WSAStartup: " + systemErrorText(static_cast<unsigned long>(startup)));
  }

  // Overlapped as socket() makes them, or the time-outs never take effect; not inheritable, so a
  // child started meanwhile does not keep the connection open.
  const SOCKET created = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (created == INVALID_SOCKET) return socketError("socket");
  LoopbackConnection connection(static_cast<std::intptr_t>(created));
  if (Status limited = connection.limitWaits(timeoutMs); !limited.ok()) return limited.failure();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(created, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return socketError("connect");
  }
  return connection;
}

Status LoopbackConnection::limitWaits(unsigned timeoutMs) {
  // Winsock takes a DWORD of milliseconds here, not a timeval.
  const DWORD timeout = timeoutMs;
  const SOCKET socket = socketOf(handle_);
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout)) != 0) {
    return socketError("receive time-out");
  }
  if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout)) != 0) {
    return socketError("send time-out");
  }
  return Status::success();
}

Result<std::size_t> LoopbackConnection::send(std::string_view bytes) {
  for (;;) {
    const int n = ::send(socketOf(handle_), bytes.data(), pieceOf(bytes.size()), 0);
    if (n != SOCKET_ERROR) return static_cast<std::size_t>(n);
    if (::WSAGetLastError() != WSAEINTR) return socketError("send");
  }
}

void LoopbackConnection::shutdownSending() { ::shutdown(socketOf(handle_), SD_SEND); }

Result<std::size_t> LoopbackConnection::receive(char* buffer, std::size_t capacity) {
  for (;;) {
    const int n = ::recv(socketOf(handle_), buffer, pieceOf(capacity), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    const int code = ::WSAGetLastError();
    if (code == WSAESHUTDOWN) return std::size_t{0};
    if (code != WSAEINTR) return socketError("receive");
  }
}

void LoopbackConnection::close() {
  if (handle_ != -1) ::closesocket(socketOf(handle_));
  handle_ = -1;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

}  // namespace kcs::kit::detail
