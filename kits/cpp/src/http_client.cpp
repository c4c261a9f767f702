#include "korvessa/launcher_kit/http_client.h"

#include <charconv>
#include <chrono>

#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/raw_exchange.h"
#include "loopback.h"

namespace kcs::kit {
namespace {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

template <class Number>
bool parseWhole(std::string_view text, Number& out) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string HttpReply::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringAsciiCase(key, name)) return value;
  }
  return {};
}

std::string formatRequest(const HttpCall& call) {
  std::string text = call.method + " " + call.path + " HTTP/1.1\r\nhost: 127.0.0.1\r\n";
  if (!call.token.empty()) text.append(protocol::kTokenHeader).append(": ").append(call.token).append("\r\n");
  if (!call.body.empty()) text.append("content-length: " + std::to_string(call.body.size()) + "\r\n");
  text.append("\r\n").append(call.body);
  return text;
}

namespace {

using Clock = std::chrono::steady_clock;

// The exchange of exchangeRaw and request: timeoutMs bounds each wait, or (within) the whole
// exchange from the connection on.
Result<std::string> exchange(std::uint16_t port, std::string_view bytes, unsigned timeoutMs,
                             bool halfClose, bool within) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string late = "no complete reply within " + std::to_string(timeoutMs) + " ms";
  // Narrows the next wait to the time left; false once the deadline has passed.
  auto narrow = [&](detail::LoopbackConnection& connection) {
    if (!within) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 && connection.limitWaits(static_cast<unsigned>(left)).ok();
  };

  Result<detail::LoopbackConnection> connection =
      detail::LoopbackConnection::open(port, timeoutMs);
  if (!connection.ok()) return fail(Code::kConnection, connection.error());

  // A peer may answer and close before it has read everything (a request that is too large);
  // a failed send therefore only ends sending, and the reply is still read.
  std::string_view rest = bytes;
  while (!rest.empty()) {
    if (!narrow(*connection)) return fail(Code::kConnection, late);
    Result<std::size_t> sent = connection->send(rest);
    if (!sent.ok() || *sent == 0) break;
    rest.remove_prefix(*sent);
  }
  if (halfClose) connection->shutdownSending();

  std::string reply;
  char chunk[4096];
  for (;;) {
    if (!narrow(*connection)) return fail(Code::kConnection, late);
    Result<std::size_t> got = connection->receive(chunk, sizeof(chunk));
    if (got.ok() && *got > 0) {
      reply.append(chunk, *got);
      continue;
    }
    if (got.ok()) return reply;  // the service closed
    if (within && Clock::now() >= deadline) return fail(Code::kConnection, late);
    // A peer that closes with our bytes unread resets the connection after its reply.
    if (!reply.empty()) return reply;
    return fail(Code::kConnection, got.error());
  }
}

}  // namespace

Result<HttpReply> request(std::uint16_t port, const HttpCall& call) {
  if (call.timeoutMs == 0) return fail(Code::kInvalidArgument, "timeoutMs must be positive");
  Result<std::string> raw = exchange(port, formatRequest(call), call.timeoutMs, false, true);
  if (!raw.ok()) return raw.failure();
  Result<HttpReply> reply = parseReply(std::move(raw).value());
  // A reply that cannot be read is the connection's failure, not the route's.
  if (!reply.ok()) return fail(Code::kConnection, reply.error());
  return reply;
}

Result<std::string> exchangeRaw(std::uint16_t port, std::string_view bytes, unsigned timeoutMs,
                                bool halfClose) {
  return exchange(port, bytes, timeoutMs, halfClose, false);
}

Result<HttpReply> parseReply(std::string raw) {
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return fail("reply has no complete head");
  const std::string_view head = std::string_view(raw).substr(0, headEnd);

  HttpReply reply;
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view statusLine = head.substr(0, lineEnd);
  if (statusLine.substr(0, 9) != "HTTP/1.1 ") return fail("reply has no HTTP/1.1 status line");
  reply.statusText = std::string(statusLine.substr(9));
  if (!parseWhole(statusLine.substr(9, 3), reply.status) || statusLine.size() < 12) {
    return fail("reply has no status code");
  }

  while (lineEnd != std::string_view::npos) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line = head.substr(start, lineEnd == std::string_view::npos
                                                         ? std::string_view::npos
                                                         : lineEnd - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return fail("reply header without a colon");
    reply.headers.emplace_back(std::string(line.substr(0, colon)),
                               std::string(trimBlanks(line.substr(colon + 1))));
  }

  reply.body = raw.substr(headEnd + 4);
  const std::string length = reply.header("content-length");
  if (!length.empty()) {
    std::size_t announced = 0;
    if (!parseWhole(std::string_view(length), announced) || announced != reply.body.size()) {
      return fail("reply body does not match its content-length");
    }
  }
  return reply;
}

Result<std::uint16_t> parseAnnouncedPort(std::string_view line) {
  constexpr std::string_view kPrefix = "http://127.0.0.1:";
  // The line ending: a line feed, with the carriage return before it that a text-mode stream
  // would add, as every kit's line reader takes it.
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  if (line.substr(0, kPrefix.size()) != kPrefix) return fail("not an address announcement");
  // The port exactly as the service writes it: 1 to 65535, in decimal without a leading zero.
  const std::string_view digits = line.substr(kPrefix.size());
  std::uint16_t port = 0;
  if (!parseWhole(digits, port) || port == 0 || digits.front() == '0') {
    return fail("announcement has no valid port");
  }
  return port;
}

}  // namespace kcs::kit
