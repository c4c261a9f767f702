// The service as a launcher sees it: a child process beside a live "launcher" (a sleep process),
// talking HTTP on the announced loopback port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/raw_exchange.h"
#include "platform/platform.h"
#include "support/load_rig.h"

namespace kcs {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kToken = "e2e-token-0123456789abcdef0123456789";
const std::string kTicket =
    R"({"username":"ann","clientLogin":"!ann","ticket":"T-1","expiresAt":"soon","ttlSeconds":60})";

using kcs::testing::readToEnd;

class HttpServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::ChildOptions quiet;
    quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
    auto launcher = kit::ChildProcess::start("sleep", {"120"}, quiet);
    ASSERT_TRUE(launcher.ok()) << launcher.error();
    launcher_ = std::move(launcher).value();

    auto service = kit::ChildProcess::start(KCS_SERVICE_PATH,
                                            {"--launcher-pid", std::to_string(launcher_->pid())});
    ASSERT_TRUE(service.ok()) << service.error();
    service_ = std::move(service).value();
    ASSERT_TRUE(service_->writeStdin(R"({"token":")" + kToken + R"(","clientDir":"/nonexistent"})" "\n").ok());

    kit::Result<std::string> line = service_->readStdoutLine(10000);
    ASSERT_TRUE(line.ok()) << line.error();
    announcement_ = *line;
    kit::Result<std::uint16_t> port = kit::parseAnnouncedPort(announcement_);
    ASSERT_TRUE(port.ok()) << port.error() << ": " << announcement_;
    port_ = *port;
  }

  void TearDown() override {
    if (service_) service_->kill();
    if (launcher_) launcher_->kill();
  }

  kit::HttpReply call(const std::string& method, const std::string& path,
                      const std::string& body = {}) const {
    kit::HttpCall request;
    request.method = method;
    request.path = path;
    request.token = kToken;
    request.body = body;
    kit::Result<kit::HttpReply> reply = kit::request(port_, request);
    EXPECT_TRUE(reply.ok()) << reply.error();
    return reply.ok() ? *reply : kit::HttpReply{};
  }

  std::unique_ptr<kit::ChildProcess> launcher_;
  std::unique_ptr<kit::ChildProcess> service_;
  std::string announcement_;
  std::uint16_t port_ = 0;
};

TEST_F(HttpServiceTest, AnnouncesTheLoopbackPortItServesOn) {
  EXPECT_EQ(announcement_, "http://127.0.0.1:" + std::to_string(port_) + "\n");
  EXPECT_EQ(call("GET", "/health").status, 200);
}

TEST_F(HttpServiceTest, HealthReplyIsExact) {
  kit::Result<std::string> raw = kit::exchangeRaw(
      port_, "GET /health HTTP/1.1\r\nx-korvessa-token: " + kToken + "\r\n\r\n");
  ASSERT_TRUE(raw.ok()) << raw.error();
  EXPECT_EQ(*raw,
            "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: 48\r\n"
            "cache-control: no-store\r\nconnection: close\r\n\r\n"
            "{\"ok\":true,\"service\":\"korvessa-client-services\"}");
}

TEST_F(HttpServiceTest, TicketIsHandedOutOnceEvenToConcurrentClients) {
  ASSERT_EQ(call("PUT", "/launch/session", kTicket).status, 204);

  constexpr int kClients = 16;
  std::vector<kit::HttpReply> replies(kClients);
  std::vector<std::thread> clients;
  std::atomic<bool> go{false};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      replies[static_cast<std::size_t>(i)] = call("GET", "/launch/session");
    });
  }
  go = true;
  for (std::thread& client : clients) client.join();

  int handedOut = 0;
  for (const kit::HttpReply& reply : replies) {
    if (reply.status == 200) {
      ++handedOut;
      EXPECT_EQ(reply.body, kTicket);
    } else {
      EXPECT_EQ(reply.status, 404);
      EXPECT_EQ(reply.body, R"({"ok":false,"error":"no_launch_session"})");
    }
  }
  EXPECT_EQ(handedOut, 1);
}

TEST_F(HttpServiceTest, StalledClientHoldsOnlyItsOwnConnection) {
  // Two clients send half a request each and stall; a third is served meanwhile, then both
  // stalled ones finish and are served too.
  std::vector<platform::Socket> stalled;
  const std::string head = "GET /health HTTP/1.1\r\nx-korvessa-token: " + kToken + "\r\n";
  for (int i = 0; i < 2; ++i) {
    Result<platform::Socket> socket = platform::connectLoopback(port_);
    ASSERT_TRUE(socket.ok()) << socket.error();
    ASSERT_TRUE(platform::send(*socket, head.data(), head.size()).ok());
    ASSERT_TRUE(platform::setReceiveTimeout(*socket, 5000).ok());
    stalled.push_back(std::move(socket).value());
  }

  const auto start = Clock::now();
  EXPECT_EQ(call("GET", "/health").status, 200);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  for (platform::Socket& socket : stalled) {
    ASSERT_TRUE(platform::send(socket, "\r\n", 2).ok());
    EXPECT_EQ(readToEnd(socket).substr(0, 15), "HTTP/1.1 200 OK");
  }
}

TEST_F(HttpServiceTest, ClientSilentForTheReceiveTimeOutGetsBadRequest) {
  const auto start = Clock::now();
  Result<platform::Socket> socket = platform::connectLoopback(port_);
  ASSERT_TRUE(socket.ok()) << socket.error();
  ASSERT_TRUE(platform::send(*socket, "GET /", 5).ok());
  ASSERT_TRUE(platform::setReceiveTimeout(*socket, 10000).ok());
  const std::string reply = readToEnd(*socket);
  const auto waited = Clock::now() - start;
  EXPECT_EQ(reply.substr(0, 24), "HTTP/1.1 400 Bad Request");
  EXPECT_GT(waited, std::chrono::milliseconds(1500));
  EXPECT_LT(waited, std::chrono::seconds(6));
}

TEST_F(HttpServiceTest, EndsWithStatusZeroAndSilentlyWhenTheLauncherEnds) {
  ASSERT_EQ(call("GET", "/health").status, 200);
  const auto start = Clock::now();
  launcher_->kill();  // ends and reaps it, so its pid no longer names a process
  std::optional<int> status = service_->wait(5000);
  const auto waited = Clock::now() - start;
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_LT(waited, std::chrono::seconds(1));
  kit::Result<std::string> out = service_->readStdoutToEnd(2000);
  kit::Result<std::string> err = service_->readStderrToEnd(2000);
  ASSERT_TRUE(out.ok()) << out.error();
  ASSERT_TRUE(err.ok()) << err.error();
  EXPECT_EQ(*out, "");
  EXPECT_EQ(*err, "");
}

}  // namespace
}  // namespace kcs
