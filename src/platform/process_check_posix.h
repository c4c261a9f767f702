// The process check of platform_posix.cpp with its way in chosen by the caller, so that tests can
// also take the path of kernels without pidfd_open (before 5.3) and of sandboxes that refuse it.
#pragma once

#include <cstdint>

namespace kcs::platform {

enum class ProcessCheckPath {
  PidfdThenSignal,  // what processExists does: pidfd_open, and kill(pid, 0) where that is refused
  SignalOnly,       // kill(pid, 0) and /proc, as when pidfd_open is unavailable
};

// processExists by the given path.
bool processExistsVia(std::uint32_t pid, ProcessCheckPath path);

}  // namespace kcs::platform
