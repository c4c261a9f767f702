// A small HTTP/1.1 client for the service's loopback interface: one request per connection, the
// reply read to the end of the stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

inline constexpr unsigned kDefaultReplyTimeoutMs = 5000;

struct HttpReply {
  int status = 0;                // 200, 404, ...
  std::string statusText;        // "200 OK": the status code and the reason phrase
  std::vector<std::pair<std::string, std::string>> headers;  // names and values as sent
  std::string body;

  // The value of the first header with this name (ASCII case-insensitive), or "".
  std::string header(std::string_view name) const;
};

struct HttpCall {
  std::string method = "GET";
  std::string path = "/";
  std::string token;             // sent in the token header unless empty
  std::string body;              // sent with a content-length unless empty
  unsigned timeoutMs = kDefaultReplyTimeoutMs;
};

// The request bytes that call sends.
std::string formatRequest(const HttpCall& call);

// Connects to 127.0.0.1:port, sends call and reads the reply until the service closes, all
// within call.timeoutMs (a kConnection failure once that has passed).
Result<HttpReply> request(std::uint16_t port, const HttpCall& call);

// Splits a complete reply into status, headers and body. The body is everything after the head;
// a content-length header, when present, must match it.
Result<HttpReply> parseReply(std::string raw);

// The port of an address announcement, exactly "http://127.0.0.1:PORT" with PORT from 1 to
// 65535 (its line feed allowed).
Result<std::uint16_t> parseAnnouncedPort(std::string_view line);

}  // namespace kcs::kit
