#include "http/request_reader.h"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/decimal.h"
#include "common/utf8.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs {
namespace {

constexpr std::size_t kInitialBufferBytes = 2048;
constexpr std::string_view kEndOfHead = "\r\n\r\n";
constexpr std::string_view kContentLength = "content-length";

// Same length, then ASCII letters folded; other bytes (UTF-8 included) must match exactly.
bool headerNameIs(std::string_view name, std::string_view lowerName) {
  if (name.size() != lowerName.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerName[i]) return false;
  }
  return true;
}

// Lines end at "\n"; one "\r" right before it goes too. Text after the last "\n" is no line.
std::vector<std::string_view> splitHeadLines(std::string_view head) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t end = head.find('\n'); end != std::string_view::npos;
       end = head.find('\n', start)) {
    std::string_view line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

Result<RequestHead> parseHead(std::string_view rawHead) {
  const std::string text = decodeUtf8Lossy(rawHead);
  const std::vector<std::string_view> lines = splitHeadLines(text);
  if (lines.empty()) return fail("missing request line");

  const std::vector<std::string_view> tokens = splitUnicodeWhiteSpace(lines.front());
  if (tokens.empty()) return fail("missing method");
  if (tokens.size() < 2) return fail("missing path");

  RequestHead head;
  head.method = std::string(tokens[0]);
  head.path = std::string(tokens[1]);
  // Every further line is a header line; an empty line does not end the section early.
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimUnicodeWhiteSpace(line.substr(colon + 1));
    if (headerNameIs(name, kContentLength)) {
      std::optional<std::uint64_t> length =
          parseUnsignedDecimal(value, std::numeric_limits<std::uint64_t>::max());
      if (!length) return fail("invalid content length");
      head.contentLength = *length;
    } else if (headerNameIs(name, protocol::kTokenHeader)) {
      head.token = std::string(value);
    }
  }
  return head;
}

// Turns a function that may run out of memory into one that fails: a head or body that really
// arrives can still be more than memory holds, and that ends this request, not the process.
template <typename Read>
auto failingOnExhaustion(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  } catch (const std::length_error&) {
    return fail("out of memory");
  }
}

Result<RequestHead> readHead(ByteSource& bytes, std::uint64_t deadlineMs,
                             const platform::Clock& clock) {
  std::string buffer;
  buffer.reserve(kInitialBufferBytes);
  char scratch[kReadChunkBytes];

  // Head: read until the first "\r\n\r\n", at most 65,536 bytes in all. The size test comes
  // before the search, so a read that completes the head but passes the limit still fails.
  std::size_t headLength = 0;
  for (;;) {
    // A client that keeps sending a byte now and then must not hold the connection for ever.
    const std::uint64_t now = clock();
    if (now >= deadlineMs) return fail("head not complete in time");
    const auto wait =
        static_cast<unsigned>(std::min<std::uint64_t>(kReceiveTimeoutMs, deadlineMs - now));
    const platform::ReceiveResult got = bytes.read(scratch, sizeof(scratch), wait);
    if (got.kind == platform::ReceiveResult::Kind::Closed) return fail("connection closed");
    if (got.kind == platform::ReceiveResult::Kind::Failed) return fail(got.error);
    const std::size_t before = buffer.size();
    buffer.append(scratch, got.size);
    if (buffer.size() > kMaxHeadBytes) return fail("request too large");
    // Earlier bytes held no marker, so the first one can only start in the last three of them.
    const std::size_t from = before < kEndOfHead.size() ? 0 : before - (kEndOfHead.size() - 1);
    const std::size_t marker = std::string_view(buffer).find(kEndOfHead, from);
    if (marker != std::string_view::npos) {
      headLength = marker + kEndOfHead.size();
      break;
    }
  }

  Result<RequestHead> head = parseHead(std::string_view(buffer).substr(0, headLength));
  if (!head.ok()) return head;
  buffer.erase(0, headLength);
  head->received = std::move(buffer);
  return head;
}

Result<HttpRequest> readBody(ByteSource& bytes, RequestHead& head) {
  // The announced length is only a promise: nothing is reserved for it, and the buffer grows
  // only with bytes that really arrive. A length beyond what a size can count is refused.
  const std::uint64_t contentLength = head.contentLength;
  if (contentLength > std::numeric_limits<std::size_t>::max()) {
    return fail("content length too large");
  }
  const auto total = static_cast<std::size_t>(contentLength);

  std::string& buffer = head.received;
  char scratch[kReadChunkBytes];
  while (buffer.size() < total) {
    const platform::ReceiveResult got = bytes.read(scratch, sizeof(scratch), kReceiveTimeoutMs);
    if (got.kind == platform::ReceiveResult::Kind::Closed) return fail("incomplete body");
    if (got.kind == platform::ReceiveResult::Kind::Failed) return fail(got.error);
    buffer.append(scratch, got.size);
  }

  HttpRequest request;
  request.method = std::move(head.method);
  request.path = std::move(head.path);
  request.token = std::move(head.token);
  // The body takes over the buffer in place; pipelined bytes behind it are dropped.
  buffer.resize(total);
  request.body = std::move(buffer);
  return request;
}

}  // namespace

platform::ReceiveResult SocketByteSource::read(char* buffer, std::size_t capacity,
                                               unsigned timeoutMs) {
  if (timeoutMs != timeoutMs_) {
    Status set = platform::setReceiveTimeout(socket_, timeoutMs);
    if (!set.ok()) return {platform::ReceiveResult::Kind::Failed, 0, set.error()};
    timeoutMs_ = timeoutMs;
  }
  return platform::receive(socket_, buffer, capacity);
}

Result<RequestHead> readRequestHead(ByteSource& bytes, std::uint64_t deadlineMs,
                                    const platform::Clock& clock) {
  return failingOnExhaustion([&] { return readHead(bytes, deadlineMs, clock); });
}

Result<HttpRequest> readRequestBody(ByteSource& bytes, RequestHead head) {
  return failingOnExhaustion([&] { return readBody(bytes, head); });
}

Result<HttpRequest> readRequest(ByteSource& bytes) {
  Result<RequestHead> head =
      readRequestHead(bytes, platform::steadyMilliseconds() + kHeadDeadlineMs);
  if (!head.ok()) return fail(head.error());
  return readRequestBody(bytes, std::move(head).value());
}

}  // namespace kcs
