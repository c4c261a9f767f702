// The kit's own view of the system for talking to the service: one blocking TCP connection to
// 127.0.0.1 and this process's id. loopback_posix.cpp and loopback_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit::detail {

class LoopbackConnection {
 public:
  // Connects to 127.0.0.1:port; every later send and receive waits at most timeoutMs, so a
  // peer that stops reading cannot hold a sender for good.
  static Result<LoopbackConnection> open(std::uint16_t port, unsigned timeoutMs);

  LoopbackConnection(LoopbackConnection&& other) noexcept;
  LoopbackConnection& operator=(LoopbackConnection&& other) noexcept;
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;
  ~LoopbackConnection();

  // Every later send and receive waits at most timeoutMs (above 0).
  Status limitWaits(unsigned timeoutMs);
  // One send; the bytes the system took. Never raises SIGPIPE. A time-out is a failure.
  Result<std::size_t> send(std::string_view bytes);
  // Ends the sending direction: the peer sees the end of the stream.
  void shutdownSending();
  // One receive; 0 at the end of the stream. A time-out is a failure.
  Result<std::size_t> receive(char* buffer, std::size_t capacity);

 private:
  explicit LoopbackConnection(std::intptr_t handle) : handle_(handle) {}
  void close();

  std::intptr_t handle_ = -1;
};

std::uint32_t currentProcessId();

}  // namespace kcs::kit::detail
