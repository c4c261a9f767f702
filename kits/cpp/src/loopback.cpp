#include "loopback.h"

#include <utility>

namespace kcs::kit::detail {

LoopbackConnection::LoopbackConnection(LoopbackConnection&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

LoopbackConnection& LoopbackConnection::operator=(LoopbackConnection&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

LoopbackConnection::~LoopbackConnection() { close(); }

}  // namespace kcs::kit::detail
