// Reading what the authentication proxy appended to its log since the last look. The file is
// opened for each read and closed again, never held between reads.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace kcs {

inline constexpr const char* kProxyLogFileName = "KorvessaAuthProxy.log";

// The bytes of path from readOffset up to the file's size measured now, readOffset then moving
// to that size. A file shorter than readOffset was truncated or replaced: readOffset drops to 0
// at once, and stays there even if the rest fails. Text appended while reading is left for the
// next read, so no byte is scanned twice. Fails, leaving readOffset where it stood after that
// check, if the file cannot be opened, sized, positioned or read, or if the bytes are not valid
// UTF-8 (the same bytes are tried again next time).
Result<std::string> readNewLogText(const std::string& path, std::uint64_t& readOffset);

// The bytes [begin, end) of file, fewer if it ends sooner.
Result<std::string> readFileRange(platform::File& file, std::uint64_t begin, std::uint64_t end);

}  // namespace kcs
