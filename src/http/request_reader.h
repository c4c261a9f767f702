// Reads the one HTTP/1.1 request that a connection carries: a request line, the content-length
// and x-korvessa-token headers, and a body of the announced length. No keep-alive, no chunked
// coding, no continuation lines, no percent-decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/result.h"
#include "platform/platform.h"

namespace kcs {

struct HttpRequest {
  std::string method;  // first token of the request line, as sent
  std::string path;    // second token, as sent (a query stays part of it)
  std::string token;   // trimmed value of the last x-korvessa-token header; empty if none
  std::string body;    // exactly content-length bytes after the head
};

// The reason a request could not be read. It is never shown to the client; every reason gets the
// same 400 reply.
using RequestError = Failure;

// Where the reader's bytes come from: a connected socket in the service, an in-memory stream cut
// into arbitrary pieces in tests and fuzzing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // One read of at most capacity bytes (capacity > 0). Data never carries 0 bytes; end of stream
  // and a shut-down socket are Closed; a failure (a time-out included) carries its text.
  virtual platform::ReceiveResult read(char* buffer, std::size_t capacity) = 0;
};

// A blocking socket read one receive at a time; the socket stays owned by the caller.
class SocketByteSource final : public ByteSource {
 public:
  explicit SocketByteSource(platform::Socket& socket) : socket_(socket) {}
  platform::ReceiveResult read(char* buffer, std::size_t capacity) override;

 private:
  platform::Socket& socket_;
};

inline constexpr unsigned kReceiveTimeoutMs = 2000;
inline constexpr std::size_t kReadChunkBytes = 1024;
inline constexpr std::size_t kMaxHeadBytes = 65536;

// Reads one request from bytes. The failure text is the RequestError reason.
Result<HttpRequest> readRequest(ByteSource& bytes);

// Sets the 2000 ms receive time-out on the connection, then reads one request from it. Never
// writes to the connection and never closes it.
Result<HttpRequest> readRequest(platform::Socket& connection);

}  // namespace kcs
