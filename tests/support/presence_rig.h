// A test fixture for presence end to end: the real service, a Discord stand-in on a private
// runtime directory (so no developer's Discord is touched), sleep processes as games, and a
// proxy log that the test writes as the game's authentication proxy would. Only for test
// executables that know where the service and the tools are (KCS_SERVICE_PATH, KCS_TOOLS_DIR).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/diagnostic_lines.h"
#include "korvessa/launcher_kit/sidecar.h"
#include "korvessa/launcher_kit/sidecar_access.h"
#include "platform/platform.h"

namespace kcs::testing {

class PresenceRig : public ::testing::Test {
 protected:
  static constexpr unsigned kWaitMs = 5000;  // generous: every step is due within a 250 ms tick

  void SetUp() override {
    static std::atomic<int> counter{0};
    // Short, because a Unix socket path has to fit in about 100 bytes.
    root_ = std::filesystem::temp_directory_path() /
            ("kcsp-" + std::to_string(platform::currentProcessId()) + "-" +
             std::to_string(++counter));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "run");
    std::filesystem::create_directories(root_ / "client");
    environment_ = {"XDG_RUNTIME_DIR=" + (root_ / "run").string()};
  }

  void TearDown() override {
    if (sidecar_) sidecar_->stop();
    for (auto& child : children_) child->kill();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::filesystem::path logPath() const { return root_ / "client" / "KorvessaAuthProxy.log"; }

  void writeLog(const std::string& bytes, bool append = true) {
    std::ofstream out(logPath(), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << bytes;
  }

  // Starts the stand-in and waits until it listens.
  kit::ChildProcess* startStandin(const std::vector<std::string>& arguments) {
    kit::ChildOptions options;
    options.pipeStdin = false;
    options.pipeStderr = false;
    options.environment = environment_;
    auto child = kit::ChildProcess::start(std::string(KCS_TOOLS_DIR) + "/discord-standin",
                                          arguments, options);
    EXPECT_TRUE(child.ok()) << child.error();
    if (!child.ok()) return nullptr;
    children_.push_back(std::move(child).value());
    kit::ChildProcess* standin = children_.back().get();
    const std::string ready = nextLine(standin);
    EXPECT_EQ(ready.rfind("listening ", 0), 0u) << ready;
    return standin;
  }

  kit::ChildProcess* startGame() {
    kit::ChildOptions quiet;
    quiet.pipeStdin = quiet.pipeStdout = quiet.pipeStderr = false;
    auto child = kit::ChildProcess::start("sleep", {"120"}, quiet);
    EXPECT_TRUE(child.ok()) << child.error();
    children_.push_back(std::move(child).value());
    return children_.back().get();
  }

  void startService() {
    kit::SidecarOptions options;
    options.servicePath = KCS_SERVICE_PATH;
    options.clientDir = (root_ / "client").string();
    options.environment = environment_;
    diagnostics_ = kit::DiagnosticLines();  // none of a service started before
    options.onDiagnostic = diagnostics_.handler();
    kit::Result<kit::Sidecar> sidecar = kit::Sidecar::start(options);
    ASSERT_TRUE(sidecar.ok()) << sidecar.error();
    sidecar_ = std::make_unique<kit::Sidecar>(std::move(sidecar).value());
  }

  void follow(std::uint32_t pid, std::uint64_t logOffset = 0) {
    kit::Status registered = sidecar_->putPresenceSession({pid, logOffset});
    ASSERT_TRUE(registered.ok()) << registered.error();
  }

  // The service's next line on standard error with its line feed, as it wrote it, or "<none>".
  std::string diagnostic(unsigned timeoutMs = kWaitMs) {
    std::optional<std::string> line = diagnostics_.next(std::chrono::milliseconds(timeoutMs));
    return line ? *line + "\n" : "<none>";
  }

  // From now on the service's standard error goes unread, its pipe closed.
  void dropDiagnostics() { kit::internal::Access::dropDiagnostics(*sidecar_); }

  // The stand-in's next event line, or "<none>".
  static std::string nextLine(kit::ChildProcess* standin, unsigned timeoutMs = kWaitMs) {
    kit::Result<std::string> line = standin->readStdoutLine(timeoutMs);
    return line.ok() ? *line : "<none>";
  }

  std::filesystem::path root_;
  std::vector<std::string> environment_;
  std::vector<std::unique_ptr<kit::ChildProcess>> children_;
  kit::DiagnosticLines diagnostics_;
  std::unique_ptr<kit::Sidecar> sidecar_;
};

}  // namespace kcs::testing
