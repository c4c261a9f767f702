// The Unix socket address rule of platform_posix.cpp, shared with the tools' endpoint listener so
// that both sides measure a socket path the same way.
#pragma once

#include <sys/un.h>

#include <string>

#include "common/result.h"

namespace kcs::platform {

// The address of the Unix socket at path; a path too long for it fails rather than being cut.
Result<sockaddr_un> unixAddress(const std::string& path);

}  // namespace kcs::platform
