#include "http/connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/response.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/raw_exchange.h"
#include "platform/clock.h"

namespace kcs {
namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

// A loopback listener whose accepted connections are each served by handleConnection on a
// thread of its own, as the accept loop does.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<platform::Socket> listener = platform::bindLoopbackListener(16);
    ASSERT_TRUE(listener.ok()) << listener.error();
    listener_ = std::move(listener).value();
    Result<std::string> address = platform::localAddress(listener_);
    ASSERT_TRUE(address.ok()) << address.error();
    port_ = static_cast<std::uint16_t>(std::stoi(address->substr(address->rfind(':') + 1)));
  }

  // Serves the next connection on a thread of its own.
  std::thread serveOne() {
    return std::thread([this] {
      platform::AcceptResult accepted = platform::acceptConnection(listener_);
      if (accepted.kind == platform::AcceptResult::Kind::Accepted) {
        handleConnection(std::move(accepted.connection), state_, platform::steadyMilliseconds());
      }
    });
  }

  // Sends bytes on a fresh connection and returns all that came back.
  std::string exchange(const std::string& bytes, bool halfClose = false) {
    std::thread server = serveOne();
    kit::Result<std::string> reply = kit::exchangeRaw(port_, bytes, 5000, halfClose);
    server.join();
    EXPECT_TRUE(reply.ok()) << reply.error();
    return reply.ok() ? *reply : std::string();
  }

  // A reply as read, with every byte that came back.
  struct Answer : kit::HttpReply {
    std::string raw;
  };

  Answer call(const std::string& method, const std::string& path, const std::string& body = {},
              const std::string& token = kToken) {
    kit::HttpCall request;
    request.method = method;
    request.path = path;
    request.token = token;
    request.body = body;
    Answer answer;
    answer.raw = exchange(kit::formatRequest(request));
    kit::Result<kit::HttpReply> reply = kit::parseReply(answer.raw);
    EXPECT_TRUE(reply.ok()) << reply.error();
    if (reply.ok()) static_cast<kit::HttpReply&>(answer) = std::move(reply).value();
    return answer;
  }

  std::shared_ptr<SharedState> state_ = std::make_shared<SharedState>(kToken);
  platform::Socket listener_;
  std::uint16_t port_ = 0;
};

std::string framed(std::string_view status, std::string_view body) {
  return "HTTP/1.1 " + std::string(status) +
         "\r\ncontent-type: application/json\r\ncontent-length: " + std::to_string(body.size()) +
         "\r\ncache-control: no-store\r\nconnection: close\r\n\r\n" + std::string(body);
}

TEST_F(ConnectionTest, HealthReplyIsFramedByteForByte) {
  const std::string reply =
      exchange("GET /health HTTP/1.1\r\nx-korvessa-token: " + kToken + "\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: 48\r\n"
            "cache-control: no-store\r\nconnection: close\r\n\r\n"
            "{\"ok\":true,\"service\":\"korvessa-client-services\"}");
}

struct RouteCase {
  std::string method, path, token;
  std::string_view status, body;
};

TEST_F(ConnectionTest, AuthorisesThenRoutesOnTheWholeMethodAndPath) {
  const std::vector<RouteCase> cases = {
      {"GET", "/health", kToken, kStatusOk, kHealthBody},
      {"GET", "/health", "", kStatusUnauthorized, kUnauthorizedBody},
      {"GET", "/nowhere", "wrong", kStatusUnauthorized, kUnauthorizedBody},
      {"GET", "/health", "0123456789ABCDEF0123456789ABCDEF", kStatusUnauthorized,
       kUnauthorizedBody},
      {"GET", "/health", kToken + "x", kStatusUnauthorized, kUnauthorizedBody},
      {"GET", "/health", kToken.substr(1), kStatusUnauthorized, kUnauthorizedBody},
      {"HEAD", "/health", kToken, kStatusNotFound, kNotFoundBody},
      {"POST", "/health", kToken, kStatusNotFound, kNotFoundBody},
      {"DELETE", "/launch/session", kToken, kStatusNotFound, kNotFoundBody},
      {"get", "/health", kToken, kStatusNotFound, kNotFoundBody},
      {"GET", "/presence/session", kToken, kStatusNotFound, kNotFoundBody},
      {"PUT", "/health", kToken, kStatusNotFound, kNotFoundBody},
      {"GET", "/health/", kToken, kStatusNotFound, kNotFoundBody},
      {"GET", "/HEALTH", kToken, kStatusNotFound, kNotFoundBody},
      {"GET", "/launch/session?x=1", kToken, kStatusNotFound, kNotFoundBody},
      {"GET", "/launch/session", kToken, kStatusNotFound, kNoLaunchSessionBody},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + " token=" + c.token);
    const Answer reply = call(c.method, c.path, {}, c.token);
    EXPECT_EQ(reply.raw, framed(c.status, c.body));
  }
}

TEST_F(ConnectionTest, UnreadableRequestsGetTheSameBadRequestReply) {
  const std::string expected = framed(kStatusBadRequest, kBadRequestBody);
  const std::vector<std::string> requests = {
      "GET\r\n\r\n",
      "GET /health HTTP/1.1\r\ncontent-length: -1\r\n\r\n",
      "PUT /launch/session HTTP/1.1\r\nx-korvessa-token: " + kToken +
          "\r\ncontent-length: 18446744073709551615\r\n\r\n{}",
      "GET /health HTTP/1.1\r\n",  // the client ends its side before the head is complete
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request);
    EXPECT_EQ(exchange(request, /*halfClose=*/true), expected);
  }
}

struct EarlyCase {
  const char* name;
  std::string request;
  bool halfClose;
  std::string_view status, body;
};

TEST_F(ConnectionTest, TheTokenIsComparedOnTheHeadBeforeAnyBodyIsRead) {
  // A wrong token gets 401 whatever its body does. A body that is announced but never sent, on
  // a connection left open, would end in the 2000 ms read time-out and a 400 if it were waited
  // for; one far larger than what the service drains still lets the reply through.
  const std::string put = "PUT /launch/session HTTP/1.1\r\nx-korvessa-token: ";
  const std::vector<EarlyCase> cases = {
      {"short body", put + "no\r\ncontent-length: 10\r\n\r\nabc", true, kStatusUnauthorized,
       kUnauthorizedBody},
      {"1 GiB announced, none sent", put + "no\r\ncontent-length: 1073741824\r\n\r\n", false,
       kStatusUnauthorized, kUnauthorizedBody},
      {"16 MiB sent", put + "no\r\ncontent-length: 16777216\r\n\r\n" + std::string(16 << 20, 'x'),
       false, kStatusUnauthorized, kUnauthorizedBody},
      // With the right token the body is read as before, so a short one is a bad request.
      {"right token, short body", put + kToken + "\r\ncontent-length: 10\r\n\r\nabc", true,
       kStatusBadRequest, kBadRequestBody},
  };
  for (const EarlyCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exchange(c.request, c.halfClose), framed(c.status, c.body));
  }
}

TEST_F(ConnectionTest, RequestBeyondTheHeadLimitIsRefused) {
  const std::string huge = "GET /health HTTP/1.1\r\nx-fill: " + std::string(70000, 'a') + "\r\n\r\n";
  EXPECT_EQ(exchange(huge), framed(kStatusBadRequest, kBadRequestBody));
}

TEST_F(ConnectionTest, EmptyConfiguredTokenAuthorisesARequestWithoutOne) {
  state_ = std::make_shared<SharedState>("");
  EXPECT_EQ(call("GET", "/health", {}, "").status, 200);
  EXPECT_EQ(call("GET", "/health", {}, "x").status, 401);
}

TEST_F(ConnectionTest, PeerGoneBeforeTheReplyIsASilentSendFailure) {
  // The client closes at once; the service's reply fails to send and the thread just ends.
  std::thread server = serveOne();
  {
    Result<platform::Socket> client = platform::connectLoopback(port_);
    ASSERT_TRUE(client.ok()) << client.error();
    const std::string partial = "GET /he";
    ASSERT_TRUE(platform::send(*client, partial.data(), partial.size()).ok());
  }
  server.join();
  EXPECT_EQ(state_.use_count(), 1);  // the connection's reference was released
}

const std::string kTicket =
    R"({"username":"ann","clientLogin":"!ann","ticket":"T-1","expiresAt":"","ttlSeconds":60})";

TEST_F(ConnectionTest, LaunchTicketIsHandedOutExactlyOnce) {
  const Answer stored = call("PUT", "/launch/session", kTicket);
  EXPECT_EQ(stored.raw, framed(kStatusNoContent, ""));

  const kit::HttpReply first = call("GET", "/launch/session");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, kTicket);

  const Answer second = call("GET", "/launch/session");
  EXPECT_EQ(second.raw, framed(kStatusNotFound, kNoLaunchSessionBody));
}

TEST_F(ConnectionTest, SecondTicketReplacesTheFirstAndInvalidOnesChangeNothing) {
  ASSERT_EQ(call("PUT", "/launch/session", kTicket).status, 204);
  const std::string second =
      R"({"username":"bo","clientLogin":"!bo","ticket":"T-2","expiresAt":"x","ttlSeconds":0})";
  ASSERT_EQ(call("PUT", "/launch/session", second).status, 204);
  const std::string invalid =
      R"({"username":"c","clientLogin":"c!","ticket":"T-3","expiresAt":"","ttlSeconds":0})";
  EXPECT_EQ(call("PUT", "/launch/session", invalid).raw,
            framed(kStatusBadRequest, kInvalidTicketBody));
  EXPECT_EQ(call("PUT", "/launch/session", "not json").raw,
            framed(kStatusBadRequest, kInvalidTicketBody));
  EXPECT_EQ(call("PUT", "/launch/session", kTicket + '\0' + " this is not JSON {{{").raw,
            framed(kStatusBadRequest, kInvalidTicketBody));
  EXPECT_EQ(call("GET", "/launch/session").body, second);
}

TEST_F(ConnectionTest, WrongTokenChangesNoSlot) {
  EXPECT_EQ(call("PUT", "/launch/session", kTicket, "wrong").status, 401);
  EXPECT_FALSE(state_->launchTicket.copy().has_value());
}

TEST_F(ConnectionTest, PresenceSessionIsStoredAndAnInvalidOneLeavesItInPlace) {
  EXPECT_EQ(call("PUT", "/presence/session", R"({"pid":4242,"logOffset":17})").raw,
            framed(kStatusNoContent, ""));
  EXPECT_EQ(call("PUT", "/presence/session", R"({"pid":0,"logOffset":0})").raw,
            framed(kStatusBadRequest, kInvalidPresenceSessionBody));
  EXPECT_EQ(call("PUT", "/presence/session", R"({"pid":4294967296,"logOffset":0})").status, 400);
  EXPECT_EQ(call("PUT", "/presence/session", std::string("[1,0]") + '\0' + "junk").raw,
            framed(kStatusBadRequest, kInvalidPresenceSessionBody));
  std::optional<PresenceSession> session = state_->presenceSession.copy();
  ASSERT_TRUE(session.has_value());
  EXPECT_EQ(session->pid, 4242u);
  EXPECT_EQ(session->logOffset, 17u);
}

struct TokenCase {
  std::string configured, presented;
  bool matches;
};

TEST(TokenMatches, SameBytesAndLengthOnly) {
  const std::vector<TokenCase> cases = {
      {"secret", "secret", true},  {"", "", true},
      {"secret", "Secret", false}, {"secret", "secre", false},
      {"secret", "secrets", false}, {"secret", "", false},
      {"", "x", false},            {std::string("a\0b", 3), std::string("a\0c", 3), false},
      {"secret", std::string("secret\0", 7), false},
  };
  for (const TokenCase& c : cases) {
    EXPECT_EQ(tokenMatches(c.configured, c.presented), c.matches)
        << "configured=" << c.configured << " presented=" << c.presented;
  }
}

}  // namespace
}  // namespace kcs
