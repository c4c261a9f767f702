// footprint: the service's resident memory after start and after many requests, and the CPU
// time it uses while idle, with and without a game session to follow.
//
//   footprint [--requests N] [--idle-seconds S] [--service PATH]
//
// Idle CPU is measured over S seconds (default 20) and scaled to a minute; the service's only
// idle work is its 100 ms launcher check and the presence worker's 250 ms tick.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flags.h"
#include "http/records.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/sidecar.h"
#include "platform/platform.h"
#include "process_cpu.h"
#include "process_memory.h"

namespace {

struct Options {
  unsigned requests = 10000;
  unsigned idleSeconds = 20;
  std::string service = KCS_SERVICE_PATH;
};

bool parseOptions(int argc, char** argv, Options& options) {
  return kcs::bench::parseFlags(argc, argv, {{"--requests", &options.requests},
                                             {"--idle-seconds", &options.idleSeconds},
                                             {"--service", &options.service}}) &&
         options.idleSeconds > 0;
}

void printResident(const char* when, std::uint32_t pid) {
  const std::optional<std::uint64_t> kib = kcs::bench::residentKiB(pid);
  if (kib) {
    std::printf("resident memory %s: %.1f MiB\n", when, static_cast<double>(*kib) / 1024);
  } else {
    std::printf("resident memory %s: not available on this system\n", when);
  }
}

void printIdleCpu(const char* what, std::uint32_t pid, unsigned seconds) {
  const std::optional<double> before = kcs::bench::processCpuSeconds(pid);
  kcs::platform::sleepMilliseconds(seconds * 1000);
  const std::optional<double> after = kcs::bench::processCpuSeconds(pid);
  if (before && after) {
    std::printf("CPU per idle minute, %s: %.0f ms (measured over %u s)\n", what,
                (*after - *before) * 1000 * 60 / seconds, seconds);
  } else {
    std::printf("CPU per idle minute, %s: not available on this system\n", what);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: footprint [--requests N] [--idle-seconds S] [--service PATH]\n");
    return 2;
  }
  kcs::platform::initProcess();
  if (!kcs::platform::initSocketLibrary().ok()) return 1;

  // An empty client directory of its own: no proxy log, and no Discord is looked for while
  // no session is followed.
  const std::filesystem::path clientDir = std::filesystem::temp_directory_path() /
      ("kcs-footprint-" + std::to_string(kcs::platform::currentProcessId()));
  std::filesystem::create_directories(clientDir);

  kcs::kit::SidecarOptions sidecarOptions;
  sidecarOptions.servicePath = options.service;
  sidecarOptions.clientDir = clientDir.string();
  sidecarOptions.environment = {"XDG_RUNTIME_DIR=" + clientDir.string()};  // no Discord there
  kcs::kit::Result<kcs::kit::Sidecar> started = kcs::kit::Sidecar::start(sidecarOptions);
  if (!started.ok()) {
    std::fprintf(stderr, "cannot start the service: %s\n", started.error().c_str());
    return 1;
  }
  kcs::kit::Sidecar& service = *started;
  kcs::platform::sleepMilliseconds(500);
  printResident("after start", service.pid());

  // Every route in turn (health, store a ticket, take it, register a presence session for a
  // process that does not exist, which the worker drops again), in bursts of 100 connections
  // opened at once: one request at a time would mostly measure the accept loop's idle pause.
  const std::string token = service.token();
  auto call = [&](const char* method, const char* path, std::string body) {
    kcs::kit::HttpCall request;
    request.method = method;
    request.path = path;
    request.token = token;
    request.body = std::move(body);
    return kcs::kit::formatRequest(request);
  };
  const std::string requests[] = {
      call("GET", "/health", {}),
      call("PUT", "/launch/session", *kcs::kit::loginTicketJson(
                                         {"ann", "!ann", "T-1", "2030-01-01T00:00:00Z", 60})),
      call("GET", "/launch/session", {}),
      call("PUT", "/presence/session", *kcs::kit::presenceSessionJson({2147483000u, 0})),
  };
  unsigned failed = 0;
  constexpr unsigned kBurst = 100;
  for (unsigned done = 0; done < options.requests; done += kBurst) {
    std::vector<kcs::platform::Socket> sockets;
    for (unsigned i = done; i < done + kBurst && i < options.requests; ++i) {
      kcs::Result<kcs::platform::Socket> socket = kcs::platform::connectLoopback(service.port());
      if (!socket.ok()) {
        ++failed;
        continue;
      }
      (void)kcs::platform::setReceiveTimeout(*socket, 10000);
      const std::string& bytes = requests[i % 4];
      if (!kcs::platform::send(*socket, bytes.data(), bytes.size()).ok()) ++failed;
      sockets.push_back(std::move(socket).value());
    }
    char chunk[1024];
    for (kcs::platform::Socket& socket : sockets) {
      std::string reply;
      for (;;) {
        kcs::platform::ReceiveResult got = kcs::platform::receive(socket, chunk, sizeof(chunk));
        if (got.kind != kcs::platform::ReceiveResult::Kind::Data) break;
        reply.append(chunk, got.size);
      }
      if (reply.rfind("HTTP/1.1 2", 0) != 0 && reply.rfind("HTTP/1.1 404", 0) != 0) ++failed;
    }
  }
  kcs::platform::sleepMilliseconds(500);
  std::printf("requests: %u, %u failed\n", options.requests, failed);
  printResident("after the requests", service.pid());

  printIdleCpu("no session", service.pid(), options.idleSeconds);
  // This program as the game: the worker probes it, looks for its log and for Discord on
  // every tick.
  if (!service.putPresenceSession({kcs::platform::currentProcessId(), 0}).ok()) ++failed;
  printIdleCpu("following a game, no Discord", service.pid(), options.idleSeconds);
  printResident("at the end", service.pid());

  service.stop();
  std::error_code ignored;
  std::filesystem::remove_all(clientDir, ignored);
  return failed == 0 ? 0 : 1;
}
