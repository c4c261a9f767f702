// Reading what the authentication proxy appended to its log since the last look. The file is
// opened for each read and closed again, never held between reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/result.h"
#include "korvessa/launcher_kit/protocol.h"
#include "platform/platform.h"
#include "presence/proxy_log_scanner.h"

namespace kcs {

using protocol::kProxyLogFileName;

// At most this much of the log is held in memory at once, whatever its size.
inline constexpr std::size_t kLogPieceBytes = std::size_t{1} << 20;

// An unfinished last line up to this long is read again, whole, once its line feed is there.
inline constexpr std::uint64_t kLongestHeldBackLine = 64 * 1024;

// The state after scanning, on top of current, the text of path from readOffset up to the size
// measured now. The text is read backwards in pieces of kLogPieceBytes, only until the older
// text can no longer change the result. readOffset then moves to the start of an unfinished last
// line of up to kLongestHeldBackLine bytes (its line is scanned as it stands now and again once
// complete, so a marker written in two goes is still found), or else to the measured size less
// an unfinished UTF-8 sequence at the end. Text appended meanwhile is left for the next read.
//
// A file shorter than readOffset was truncated or replaced: readOffset drops to 0 at once, and
// stays there even if the rest fails. Fails, leaving readOffset where it stood after that check,
// if the file cannot be opened, sized, positioned or read, if it shrinks while being read, or if
// memory runs out; the same text is tried again next time.
Result<PresenceState> scanNewLogText(const std::string& path, const PresenceState& current,
                                     std::uint64_t& readOffset, WallClock clock);

// Reads exactly length bytes of file from begin into buffer; fails if the file ends sooner.
Status readFileRange(platform::File& file, std::uint64_t begin, char* buffer, std::size_t length);

}  // namespace kcs
