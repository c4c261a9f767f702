#include "http/response.h"

namespace kcs {

std::string formatResponse(std::string_view status, std::string_view body) {
  std::string reply;
  reply.reserve(160 + body.size());
  reply.append("HTTP/1.1 ").append(status);
  reply.append("\r\ncontent-type: application/json\r\ncontent-length: ");
  reply.append(std::to_string(body.size()));
  reply.append("\r\ncache-control: no-store\r\nconnection: close\r\n\r\n");
  reply.append(body);
  return reply;
}

void writeResponse(platform::Socket& connection, std::string_view status, std::string_view body) {
  const std::string reply = formatResponse(status, body);
  std::string_view rest = reply;
  while (!rest.empty()) {
    // platform::send hands at most 2^31 - 1 bytes to the system per call.
    Result<std::size_t> sent = platform::send(connection, rest.data(), rest.size());
    if (!sent.ok() || *sent == 0) return;
    rest.remove_prefix(*sent);
  }
}

}  // namespace kcs
