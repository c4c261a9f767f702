// A test fixture for the service under load or attack, POSIX only: the real service beside a
// sleep process as its launcher, its diagnostics piped, and the raw-socket helpers that such
// tests need (many descriptors, exact replies).
// Only for test executables that know where the service is (KCS_SERVICE_PATH).
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/diagnostic_lines.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/sidecar.h"
#include "korvessa/launcher_kit/sidecar_access.h"
#include "platform/platform.h"
#include "support/process_memory.h"

namespace kcs::testing {

inline constexpr unsigned kReplyWaitMs = 15000;  // far beyond the service's own read time-outs

inline const std::string kHealthReply =
    "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: 48\r\n"
    "cache-control: no-store\r\nconnection: close\r\n\r\n"
    R"({"ok":true,"service":"korvessa-client-services"})";
inline const std::string kBadRequestReply =
    "HTTP/1.1 400 Bad Request\r\ncontent-type: application/json\r\ncontent-length: 34\r\n"
    "cache-control: no-store\r\nconnection: close\r\n\r\n"
    R"({"ok":false,"error":"bad_request"})";
inline const std::string kUnauthorizedReply =
    "HTTP/1.1 401 Unauthorized\r\ncontent-type: application/json\r\ncontent-length: 35\r\n"
    "cache-control: no-store\r\nconnection: close\r\n\r\n"
    R"({"ok":false,"error":"unauthorized"})";
inline const std::string kNotFoundReply =
    "HTTP/1.1 404 Not Found\r\ncontent-type: application/json\r\ncontent-length: 32\r\n"
    "cache-control: no-store\r\nconnection: close\r\n\r\n"
    R"({"ok":false,"error":"not_found"})";

// Both ends of a burst hold one descriptor per connection; make sure the soft limit allows it
// on this side (the service raises its own).
inline void allowDescriptors(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

inline platform::Socket connectTo(std::uint16_t port) {
  Result<platform::Socket> socket = platform::connectLoopback(port);
  EXPECT_TRUE(socket.ok()) << socket.error();
  if (!socket.ok()) return {};
  EXPECT_TRUE(platform::setReceiveTimeout(*socket, kReplyWaitMs).ok());
  return std::move(socket).value();
}

inline void sendAll(platform::Socket& socket, std::string_view bytes) {
  while (!bytes.empty()) {
    Result<std::size_t> sent = platform::send(socket, bytes.data(), bytes.size());
    ASSERT_TRUE(sent.ok() && *sent > 0) << (sent.ok() ? "0 bytes" : sent.error());
    bytes.remove_prefix(*sent);
  }
}

// Everything the peer sends until it closes (or a read waits longer than kReplyWaitMs).
inline std::string readToEnd(platform::Socket& socket) {
  std::string reply;
  char chunk[1024];
  for (;;) {
    platform::ReceiveResult got = platform::receive(socket, chunk, sizeof(chunk));
    if (got.kind != platform::ReceiveResult::Kind::Data) return reply;
    reply.append(chunk, got.size);
  }
}

class LoadRig : public ::testing::Test {
 protected:
  void SetUp() override {
    allowDescriptors(4096);
    kit::ChildOptions quiet;
    quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
    auto launcher = kit::ChildProcess::start("sleep", {"600"}, quiet);
    ASSERT_TRUE(launcher.ok()) << launcher.error();
    launcher_ = std::move(launcher).value();
    startService(KCS_SERVICE_PATH);
  }

  void TearDown() override {
    if (sidecar_) sidecar_->stop();
    if (launcher_) launcher_->kill();
  }

  // Starts the service (or a program that runs it with the same arguments) beside the launcher,
  // replacing one started before.
  void startService(const std::string& program) {
    if (sidecar_) sidecar_->stop();
    kit::SidecarOptions options;
    options.servicePath = program;
    options.clientDir = "/nonexistent";
    options.launcherPid = launcher_->pid();
    diagnostics_ = kit::DiagnosticLines();  // none of a service started before
    options.onDiagnostic = diagnostics_.handler();
    kit::Result<kit::Sidecar> sidecar = kit::Sidecar::start(options);
    ASSERT_TRUE(sidecar.ok()) << sidecar.error();
    sidecar_ = std::make_unique<kit::Sidecar>(std::move(sidecar).value());
    healthRequest_ = "GET /health HTTP/1.1\r\nx-korvessa-token: " + sidecar_->token() + "\r\n\r\n";
  }

  // The service is still running, still answers, and has written no diagnostic.
  void expectStillServing() {
    EXPECT_FALSE(sidecar_->waitForExit(std::chrono::milliseconds(0)).has_value())
        << "the service ended";
    kit::Status health = sidecar_->checkHealth();
    EXPECT_TRUE(health.ok()) << health.error();
    expectNoDiagnostic();
  }

  void expectNoDiagnostic() {
    std::optional<std::string> diagnostic = diagnostics_.next(std::chrono::milliseconds(0));
    EXPECT_FALSE(diagnostic.has_value()) << "unexpected diagnostic: " << *diagnostic;
  }

  // From now on the service's standard error goes unread, its pipe closed.
  void dropDiagnostics() { kit::internal::Access::dropDiagnostics(*sidecar_); }

  std::unique_ptr<kit::ChildProcess> launcher_;
  kit::DiagnosticLines diagnostics_;
  std::unique_ptr<kit::Sidecar> sidecar_;
  std::string healthRequest_;
};

}  // namespace kcs::testing
