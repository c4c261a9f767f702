#include "presence/proxy_log_reader.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "common/utf8.h"

namespace kcs {
namespace {

static_assert(kLogPieceBytes > kLongestHeldBackLine,
              "the last piece must show whether the last line is short enough to hold back");

// Where the next read starts, given the last piece of the text [begin, end): the start of an
// unfinished last line of up to kLongestHeldBackLine bytes; otherwise the end, less an unfinished
// UTF-8 sequence (a character still being written, read again whole next time).
std::uint64_t nextReadOffset(std::string_view lastPiece, std::uint64_t begin, std::uint64_t end) {
  const std::size_t window =
      std::min<std::size_t>(lastPiece.size(), kLongestHeldBackLine + 1);
  for (std::size_t i = lastPiece.size(); i > lastPiece.size() - window; --i) {
    if (lastPiece[i - 1] == '\n') return end - (lastPiece.size() - i);
  }
  if (end - begin <= kLongestHeldBackLine) return begin;
  return end - incompleteUtf8Suffix(lastPiece);
}

}  // namespace

Status readFileRange(platform::File& file, std::uint64_t begin, char* buffer, std::size_t length) {
  if (Status positioned = platform::seekTo(file, begin); !positioned.ok()) return positioned;
  while (length > 0) {
    Result<std::size_t> got = platform::readFile(file, buffer, length);
    if (!got.ok()) return fail(got.error());
    if (*got == 0) return fail("the file ended early");  // it shrank while we read
    buffer += *got;
    length -= *got;
  }
  return Status::success();
}

Result<PresenceState> scanNewLogText(const std::string& path, const PresenceState& current,
                                     std::uint64_t& readOffset, WallClock clock) {
  Result<platform::File> file = platform::openSharedForReading(path);
  if (!file.ok()) return fail(file.error());
  Result<std::uint64_t> size = platform::fileSize(*file);
  if (!size.ok()) return fail(size.error());
  if (*size < readOffset) readOffset = 0;
  const std::uint64_t begin = readOffset;
  const std::uint64_t end = *size;
  if (begin == end) return current;

  try {
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, kLogPieceBytes)),
                       '\0');
    ReverseLogScan scan;
    std::uint64_t next = end;
    for (std::uint64_t pieceEnd = end; pieceEnd > begin && !scan.decided();) {
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(pieceEnd - begin, buffer.size()));
      const std::uint64_t pieceBegin = pieceEnd - length;
      if (Status read = readFileRange(*file, pieceBegin, buffer.data(), length); !read.ok()) {
        return fail(read.error());
      }
      std::string_view piece(buffer.data(), length);
      if (pieceEnd == end) {
        next = nextReadOffset(piece, begin, end);
        piece.remove_suffix(incompleteUtf8Suffix(piece));
      }
      scan.feedBefore(piece);
      pieceEnd = pieceBegin;
    }
    readOffset = next;
    return scan.result(current, clock);
  } catch (const std::bad_alloc&) {
    return fail("out of memory for the proxy log");
  }
}

}  // namespace kcs
