// A small HTTP/1.1 client for the service's loopback interface: one request per connection, the
// reply read to the end of the stream. Launchers, the demo, the tests and the benchmarks use it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

inline constexpr unsigned kDefaultReplyTimeoutMs = 5000;
inline constexpr std::string_view kTokenHeader = "x-korvessa-token";

struct HttpReply {
  int status = 0;                // 200, 404, ...
  std::string statusText;        // "200 OK": the status code and the reason phrase
  std::vector<std::pair<std::string, std::string>> headers;  // names and values as sent
  std::string body;
  std::string raw;               // every byte that came back

  // The value of the first header with this name (ASCII case-insensitive), or "".
  std::string header(std::string_view name) const;
};

struct HttpCall {
  std::string method = "GET";
  std::string path = "/";
  std::string token;             // sent as x-korvessa-token unless empty
  std::string body;              // sent with a content-length unless empty
  unsigned timeoutMs = kDefaultReplyTimeoutMs;
};

// The request bytes that call sends.
std::string formatRequest(const HttpCall& call);

// Connects to 127.0.0.1:port, sends call and reads the reply until the service closes.
Result<HttpReply> request(std::uint16_t port, const HttpCall& call);

// Connects, sends bytes as they are, and returns every byte that comes back until the peer
// closes (or a read waits longer than timeoutMs). A send that makes no progress for timeoutMs
// ends sending, as does a peer that closes before taking all the bytes; neither is a failure:
// what the peer answered is returned. halfClose ends the sending direction after the
// bytes, so the peer sees the end of the stream.
Result<std::string> exchangeRaw(std::uint16_t port, std::string_view bytes,
                                unsigned timeoutMs = kDefaultReplyTimeoutMs,
                                bool halfClose = false);

// Splits a complete reply into status, headers and body. The body is everything after the head;
// a content-length header, when present, must match it.
Result<HttpReply> parseReply(std::string raw);

// The port of an address announcement "http://127.0.0.1:PORT" (line break allowed).
Result<std::uint16_t> parseAnnouncedPort(std::string_view line);

}  // namespace kcs::kit
