// presence-latency: the time from a marker line appended to the proxy log to the frame that
// shows the new state arriving at a Discord stand-in. The worker looks every 250 ms, so the
// figure is spread over about a tick; each sample starts at a random moment within the tick.
//
//   presence-latency [--samples N] [--service PATH] [--standin PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "flags.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/sidecar.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Options {
  unsigned samples = 40;
  std::string service = KCS_SERVICE_PATH;
  std::string standin = KCS_STANDIN_PATH;
};

bool parseOptions(int argc, char** argv, Options& options) {
  return kcs::bench::parseFlags(argc, argv, {{"--samples", &options.samples},
                                             {"--service", &options.service},
                                             {"--standin", &options.standin}}) &&
         options.samples > 0;
}

// Waits for the stand-in's next activity frame (opcode 1).
bool nextActivityFrame(kcs::kit::ChildProcess& standin) {
  for (;;) {
    kcs::kit::Result<std::string> line = standin.readStdoutLine(5000);
    if (!line.ok()) return false;
    if (line->rfind("frame ", 0) == 0 && line->find(" 1 ", 5) != std::string::npos &&
        line->find("SET_ACTIVITY") != std::string::npos) {
      return true;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: presence-latency [--samples N] [--service PATH] [--standin PATH]\n");
    return 2;
  }
  kcs::platform::initProcess();
  if (!kcs::platform::initSocketLibrary().ok()) return 1;

  // A private runtime directory, so that only the stand-in can be found, never a real Discord.
  const fs::path root = fs::temp_directory_path() /
                        ("kcs-lat-" + std::to_string(kcs::platform::currentProcessId()));
  fs::create_directories(root / "run");
  fs::create_directories(root / "client");
  const std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + (root / "run").string()};
  const fs::path log = root / "client" / kcs::protocol::kProxyLogFileName;

  kcs::kit::ChildOptions standinOptions;
  standinOptions.pipeStdin = false;
  standinOptions.pipeStderr = false;
  standinOptions.environment = environment;
  auto standin = kcs::kit::ChildProcess::start(options.standin, {}, standinOptions);
  if (!standin.ok() || !(*standin)->readStdoutLine(5000).ok()) {
    std::fprintf(stderr, "cannot start the Discord stand-in\n");
    return 1;
  }

  kcs::kit::SidecarOptions sidecarOptions;
  sidecarOptions.servicePath = options.service;
  sidecarOptions.clientDir = (root / "client").string();
  sidecarOptions.environment = environment;
  kcs::kit::Result<kcs::kit::Sidecar> service = kcs::kit::Sidecar::start(sidecarOptions);
  if (!service.ok()) {
    std::fprintf(stderr, "cannot start the service: %s\n", service.error().c_str());
    return 1;
  }
  // This program is the game.
  if (!service->putPresenceSession({kcs::platform::currentProcessId(), 0}).ok() ||
      !nextActivityFrame(**standin)) {
    std::fprintf(stderr, "the first activity never arrived\n");
    return 1;
  }

  std::mt19937 random(7);
  std::uniform_int_distribution<unsigned> phase(0, 249);
  std::vector<double> latencies;
  for (unsigned i = 0; i < options.samples; ++i) {
    kcs::platform::sleepMilliseconds(phase(random));
    {
      std::ofstream out(log, std::ios::binary | std::ios::app);
      out << (i % 2 == 0 ? "12:00:01 Rewrote CMSG_CHAR_CREATE name=Ann\r\n"
                         : "12:00:02 Parsed owned SMSG_CHAR_ENUM count=1\r\n");
    }
    const auto appended = Clock::now();
    if (!nextActivityFrame(**standin)) {
      std::fprintf(stderr, "no frame for sample %u\n", i);
      return 1;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - appended).count());
  }
  service->stop();
  (*standin)->kill();
  std::error_code ignored;
  fs::remove_all(root, ignored);

  std::sort(latencies.begin(), latencies.end());
  std::printf("samples: %u\n", options.samples);
  std::printf("marker appended to frame received: median %.0f ms, min %.0f ms, max %.0f ms\n",
              latencies[latencies.size() / 2], latencies.front(), latencies.back());
  return 0;
}
