// Reads the one HTTP/1.1 request that a connection carries: a request line, the content-length
// and token headers (protocol.h), and a body of the announced length. No keep-alive, no chunked
// coding, no continuation lines, no percent-decoding.
//
// The head and the body are read in two steps, so that the caller can refuse a request on its
// head alone and never spend memory or time on the body of a client it does not serve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/result.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace kcs {

struct HttpRequest {
  std::string method;  // first token of the request line, as sent
  std::string path;    // second token, as sent (a query stays part of it)
  std::string token;   // trimmed value of the last token header; empty if none
  std::string body;    // exactly content-length bytes after the head
};

// What the head says, and the bytes that arrived behind it in the same reads.
struct RequestHead {
  std::string method;
  std::string path;
  std::string token;
  std::uint64_t contentLength = 0;
  std::string received;  // the start of the body (and any bytes beyond it)
};

// The reason a request could not be read. It is never shown to the client; every reason gets the
// same 400 reply.
using RequestError = Failure;

// Where the reader's bytes come from: a connected socket in the service, an in-memory stream cut
// into arbitrary pieces in tests and fuzzing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // One read of at most capacity bytes (capacity > 0), waiting at most timeoutMs (> 0) for the
  // first of them. Data never carries 0 bytes; end of stream and a shut-down socket are Closed;
  // a failure (the time-out included) carries its text.
  virtual platform::ReceiveResult read(char* buffer, std::size_t capacity, unsigned timeoutMs) = 0;
};

// A blocking socket read one receive at a time; the socket stays owned by the caller. The receive
// time-out option is set whenever a read asks for another time-out than the last one.
class SocketByteSource final : public ByteSource {
 public:
  explicit SocketByteSource(platform::Socket& socket) : socket_(socket) {}
  platform::ReceiveResult read(char* buffer, std::size_t capacity, unsigned timeoutMs) override;

 private:
  platform::Socket& socket_;
  unsigned timeoutMs_ = 0;  // 0: not set yet
};

inline constexpr unsigned kReceiveTimeoutMs = 2000;  // each single read
inline constexpr unsigned kHeadDeadlineMs = 10000;   // the whole head, from the accept
inline constexpr std::size_t kReadChunkBytes = 1024;
inline constexpr std::size_t kMaxHeadBytes = 65536;

// Reads up to the end of the head (at most 65,536 bytes) and parses it. Each read waits at most
// 2000 ms, and never past deadlineMs on clock: a head still incomplete then fails, however
// steadily its bytes trickle in.
Result<RequestHead> readRequestHead(ByteSource& bytes, std::uint64_t deadlineMs,
                                    const platform::Clock& clock = platform::steadyMilliseconds);

// Reads the rest of the body that head announced, each read waiting at most 2000 ms, and
// returns the whole request. Bytes beyond the body are dropped.
Result<HttpRequest> readRequestBody(ByteSource& bytes, RequestHead head);

// Both steps in one, the head due 10 s from now: for callers that need no say in between.
Result<HttpRequest> readRequest(ByteSource& bytes);

}  // namespace kcs
