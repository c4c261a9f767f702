// connection-burst: starts the service beside this program, then opens N connections at once,
// sends GET /health on each and reads every reply, for a number of rounds. Reports connections
// per second and the service's CPU time per connection.
//
//   connection-burst [--connections N] [--rounds R] [--service PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "flags.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/http_client.h"
#include "platform/platform.h"
#include "process_cpu.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kToken = "bench-token-0123456789abcdef0123456789";

struct Options {
  unsigned connections = 100;
  unsigned rounds = 20;
  std::string service = KCS_SERVICE_PATH;
};

bool parseOptions(int argc, char** argv, Options& options) {
  return kcs::bench::parseFlags(argc, argv, {{"--connections", &options.connections},
                                             {"--rounds", &options.rounds},
                                             {"--service", &options.service}}) &&
         options.connections > 0 && options.rounds > 0;
}

// One burst: every connection opened and its request sent, then every reply read.
struct BurstResult {
  unsigned ok = 0;           // "200 OK" replies
  double servingMs = 0;      // from the first complete reply to the last
};

BurstResult burst(std::uint16_t port, unsigned connections, const std::string& request) {
  std::vector<kcs::platform::Socket> sockets;
  sockets.reserve(connections);
  for (unsigned i = 0; i < connections; ++i) {
    kcs::Result<kcs::platform::Socket> socket = kcs::platform::connectLoopback(port);
    if (!socket.ok()) {
      std::fprintf(stderr, "connect failed: %s\n", socket.error().c_str());
      continue;
    }
    (void)kcs::platform::setReceiveTimeout(*socket, 10000);
    // The request goes out with its connection: a burst larger than the listen backlog takes
    // seconds to connect (the accept loop polls every 100 ms and a refused SYN is retried after
    // 1 s), longer than the service waits for a request on an accepted connection.
    (void)kcs::platform::send(*socket, request.data(), request.size());
    sockets.push_back(std::move(socket).value());
  }
  BurstResult result;
  char chunk[1024];
  Clock::time_point firstReply;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    kcs::platform::Socket& socket = sockets[i];
    std::string reply;
    for (;;) {
      kcs::platform::ReceiveResult got = kcs::platform::receive(socket, chunk, sizeof(chunk));
      if (got.kind != kcs::platform::ReceiveResult::Kind::Data) break;
      reply.append(chunk, got.size);
    }
    if (reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) ++result.ok;
    if (i == 0) firstReply = Clock::now();
  }
  result.servingMs = std::chrono::duration<double, std::milli>(Clock::now() - firstReply).count();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: connection-burst [--connections N] [--rounds R] [--service PATH]\n");
    return 2;
  }
  kcs::platform::initProcess();
  if (!kcs::platform::initSocketLibrary().ok()) return 1;

  // This program is the service's launcher: the service ends when it does.
  auto service = kcs::kit::ChildProcess::start(
      options.service, {"--launcher-pid", std::to_string(kcs::platform::currentProcessId())});
  if (!service.ok()) {
    std::fprintf(stderr, "cannot start the service: %s\n", service.error().c_str());
    return 1;
  }
  std::unique_ptr<kcs::kit::ChildProcess> child = std::move(service).value();
  if (!child->writeStdin(R"({"token":")" + kToken + R"(","clientDir":"."})" "\n").ok()) return 1;
  kcs::kit::Result<std::string> line = child->readStdoutLine(10000);
  if (!line.ok()) {
    std::fprintf(stderr, "no address line: %s\n", line.error().c_str());
    return 1;
  }
  kcs::kit::Result<std::uint16_t> port = kcs::kit::parseAnnouncedPort(*line);
  if (!port.ok()) return 1;

  kcs::kit::HttpCall health;
  health.path = kcs::protocol::kHealth.path;
  health.token = kToken;
  const std::string request = kcs::kit::formatRequest(health);

  const std::optional<double> cpuBefore = kcs::bench::processCpuSeconds(child->pid());
  std::vector<double> burstMs;
  double servingMs = 0;
  unsigned served = 0;
  const auto start = Clock::now();
  for (unsigned round = 0; round < options.rounds; ++round) {
    const auto burstStart = Clock::now();
    const BurstResult result = burst(*port, options.connections, request);
    served += result.ok;
    servingMs += result.servingMs;
    burstMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - burstStart).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::optional<double> cpuAfter = kcs::bench::processCpuSeconds(child->pid());
  child->kill();

  const unsigned total = options.connections * options.rounds;
  std::sort(burstMs.begin(), burstMs.end());
  std::printf("connections: %u in %u bursts of %u, %u answered 200 OK\n", total, options.rounds,
              options.connections, served);
  std::printf("connections per second: %.0f\n", total / seconds);
  std::printf("burst time: median %.1f ms, slowest %.1f ms\n", burstMs[burstMs.size() / 2],
              burstMs.back());
  // A burst that arrives while the accept loop sleeps waits out the rest of its 100 ms idle pause;
  // after the first reply the service is awake and accepting without pauses.
  if (options.connections > 1 && servingMs > 0) {
    std::printf("connections per second once the first is answered: %.0f\n",
                (options.connections - 1) * options.rounds / (servingMs / 1000));
  }
  if (cpuBefore && cpuAfter) {
    std::printf("service CPU per connection: %.1f us\n", (*cpuAfter - *cpuBefore) * 1e6 / total);
  } else {
    std::printf("service CPU per connection: not available on this system\n");
  }
  return served == total ? 0 : 1;
}
