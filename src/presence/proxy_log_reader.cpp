#include "presence/proxy_log_reader.h"

#include <algorithm>
#include <utility>

#include "common/utf8.h"

namespace kcs {
namespace {

// The buffer grows by at most this much per read, so a large file costs memory only as its
// bytes actually arrive.
constexpr std::uint64_t kReadChunkBytes = 1 << 20;

}  // namespace

Result<std::string> readFileRange(platform::File& file, std::uint64_t begin, std::uint64_t end) {
  std::string bytes;
  if (end <= begin) return bytes;
  if (Status positioned = platform::seekTo(file, begin); !positioned.ok()) {
    return fail(positioned.error());
  }
  std::uint64_t left = end - begin;
  while (left > 0) {
    const auto piece = static_cast<std::size_t>(std::min(left, kReadChunkBytes));
    const std::size_t had = bytes.size();
    bytes.resize(had + piece);
    Result<std::size_t> got = platform::readFile(file, bytes.data() + had, piece);
    if (!got.ok()) return fail(got.error());
    bytes.resize(had + *got);
    if (*got == 0) break;  // the file shrank while we read
    left -= *got;
  }
  return bytes;
}

Result<std::string> readNewLogText(const std::string& path, std::uint64_t& readOffset) {
  Result<platform::File> file = platform::openSharedForReading(path);
  if (!file.ok()) return fail(file.error());
  Result<std::uint64_t> size = platform::fileSize(*file);
  if (!size.ok()) return fail(size.error());
  if (*size < readOffset) readOffset = 0;
  Result<std::string> bytes = readFileRange(*file, readOffset, *size);
  if (!bytes.ok()) return fail(bytes.error());
  file->reset();
  if (!isValidUtf8(*bytes)) return fail("proxy log text is not valid UTF-8");
  readOffset = *size;
  return bytes;
}

}  // namespace kcs
