// Reading what the authentication proxy appended to its log since the last look. The file is
// opened for each read and closed again, never held between reads.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace kcs {

inline constexpr const char* kProxyLogFileName = "KorvessaAuthProxy.log";

struct LogText {
  std::string text;          // valid UTF-8
  std::uint64_t endOffset;  // where the next read starts: the size measured before reading
};

// The bytes of path from offset up to the file's size measured now. A file shorter than offset
// was truncated or replaced and is read from 0. Text appended while reading is left for the next
// read, so no byte is scanned twice. Fails if the file cannot be opened, sized, positioned or
// read, or if the bytes are not valid UTF-8; the caller then keeps its offset.
Result<LogText> readNewLogText(const std::string& path, std::uint64_t offset);

// The bytes [begin, end) of file, fewer if it ends sooner.
Result<std::string> readFileRange(platform::File& file, std::uint64_t begin, std::uint64_t end);

}  // namespace kcs
