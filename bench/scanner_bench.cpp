// scanner-bench: how fast the presence worker digests a large piece of proxy log. Generates a
// realistic log (mostly unrelated lines, a marker every few thousand lines, or none at all),
// writes it to a file and reports MB/s for the scan of the text in memory, the worker's read of
// the file from offset 0 (backwards, in bounded pieces, scanned as they come), a plain memchr line
// count (the practical ceiling) and `grep -c -F` with the six markers on the same file.
//
//   scanner-bench [--mib N] [--file PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "presence/proxy_log_reader.h"
#include "presence/proxy_log_scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kMarkers[] = {
    "Parsed owned SMSG_CHAR_ENUM", "preview=00044B000000", "Rewrote CMSG_CHAR_CREATE",
    "preview=000C36000000",        "preview=000C3D000000", "preview=00083D000000",
};

enum class Markers { Spread, None };

// Lines in the proxy's manner: a time stamp, a direction, an opcode name and a hex preview of
// the packet, with the occasional connection message. Markers sit every 2000 to 6000 lines.
std::string generateLog(std::size_t bytes, Markers markers) {
  static const char* const kOpcodes[] = {"SMSG_UPDATE_OBJECT", "CMSG_MOVE_HEARTBEAT",
                                         "SMSG_MONSTER_MOVE",  "CMSG_PING",
                                         "SMSG_PONG",          "SMSG_AURA_UPDATE",
                                         "CMSG_CAST_SPELL",    "SMSG_SPELL_GO"};
  std::mt19937_64 random(20240611);
  std::string log;
  log.reserve(bytes + 256);
  std::uint64_t line = 0;
  std::uint64_t nextMarker = 3000;
  char buffer[256];
  while (log.size() < bytes) {
    const std::uint64_t r = random();
    const unsigned seconds = static_cast<unsigned>(line / 40);
    int n;
    if (markers == Markers::Spread && line == nextMarker) {
      n = std::snprintf(buffer, sizeof(buffer), "%02u:%02u:%02u.%03u [proxy] %s\n",
                        seconds / 3600 % 24, seconds / 60 % 60, seconds % 60,
                        static_cast<unsigned>(r % 1000), kMarkers[(r >> 10) % 6]);
      nextMarker += 2000 + (r >> 20) % 4000;
    } else if (r % 97 == 0) {
      n = std::snprintf(buffer, sizeof(buffer),
                        "%02u:%02u:%02u.%03u [proxy] upstream keep-alive ok, rtt=%ums queue=%u\n",
                        seconds / 3600 % 24, seconds / 60 % 60, seconds % 60,
                        static_cast<unsigned>(r % 1000), static_cast<unsigned>((r >> 12) % 300),
                        static_cast<unsigned>((r >> 24) % 16));
    } else {
      n = std::snprintf(buffer, sizeof(buffer),
                        "%02u:%02u:%02u.%03u [proxy] %s %s len=%u preview=%04X%02X%06X\n",
                        seconds / 3600 % 24, seconds / 60 % 60, seconds % 60,
                        static_cast<unsigned>(r % 1000), (r & 0x100) ? "S->C" : "C->S",
                        kOpcodes[(r >> 9) % 8], static_cast<unsigned>((r >> 13) % 2048),
                        static_cast<unsigned>((r >> 24) % 0x1000), static_cast<unsigned>((r >> 36) % 256),
                        static_cast<unsigned>((r >> 44) % 0x1000000));
    }
    log.append(buffer, static_cast<std::size_t>(n));
    ++line;
  }
  return log;
}

// Best of a few runs, in MB/s (10^6 bytes per second).
double measure(std::size_t bytes, const std::function<void()>& run) {
  double best = 0;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, static_cast<double>(bytes) / 1e6 / std::max(seconds, 1e-9));
  }
  return best;
}

std::size_t countLines(std::string_view text) {
  std::size_t lines = 0;
  const char* at = text.data();
  const char* end = text.data() + text.size();
  while (const void* lineFeed = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
    ++lines;
    at = static_cast<const char*>(lineFeed) + 1;
  }
  return lines;
}

std::uint64_t fixedClock() { return 1700000000; }

volatile std::size_t sink;  // keeps results alive so nothing is optimised away

void report(const char* what, double megabytesPerSecond) {
  std::printf("  %-44s %9.0f MB/s\n", what, megabytesPerSecond);
}

void benchText(const std::string& text, const char* title, const std::string& file) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  std::printf("%s (%zu bytes)\n", title, text.size());
  const kcs::PresenceState starts[] = {kcs::PresenceState::menus(),
                                       kcs::PresenceState::playing(42)};
  report("scanProxyLog (text in memory)", measure(text.size(), [&] {
           for (const auto& start : starts) {
             sink = sink + static_cast<std::size_t>(kcs::scanProxyLog(start, text, fixedClock).kind);
           }
         }) * 2);
  report("scanNewLogText (file from offset 0)", measure(text.size(), [&] {
           std::uint64_t offset = 0;
           kcs::Result<kcs::PresenceState> scanned =
               kcs::scanNewLogText(file, kcs::PresenceState::menus(), offset, fixedClock);
           sink = sink + (scanned.ok() ? static_cast<std::size_t>(scanned->kind) : 9);
         }));
  report("memchr line count (ceiling)", measure(text.size(), [&] { sink = sink + countLines(text); }));

  // A tick in the common case: a few new lines at the end of a large log.
  constexpr int kTicks = 2000;
  constexpr std::size_t kNewBytes = 2048;
  const double ticksPerSecond = measure(kTicks, [&] {
    for (int i = 0; i < kTicks; ++i) {
      std::uint64_t offset = text.size() - kNewBytes;
      kcs::Result<kcs::PresenceState> scanned =
          kcs::scanNewLogText(file, kcs::PresenceState::menus(), offset, fixedClock);
      sink = sink + (scanned.ok() ? static_cast<std::size_t>(scanned->kind) : 9);
    }
  }) * 1e6;
  std::printf("  %-44s %9.1f us\n", "scanNewLogText, last 2 KiB (one tick)", 1e6 / ticksPerSecond);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 256;
  std::string file = "scanner-bench.log";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--mib") {
      mib = std::strtoul(argv[i + 1], nullptr, 10);
    } else if (name == "--file") {
      file = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: scanner-bench [--mib N] [--file PATH]\n");
      return 2;
    }
  }
  if (argc % 2 == 0 || mib == 0) {
    std::fprintf(stderr, "usage: scanner-bench [--mib N] [--file PATH]\n");
    return 2;
  }
  const std::size_t bytes = mib << 20;

  benchText(generateLog(bytes, Markers::Spread), "Log with a marker every few thousand lines", file);
  // The scan reads from the end and stops at the last decisive lines, so the spread log is its
  // easy case. A log without any marker has to be read whole: the worst case.
  benchText(generateLog(bytes, Markers::None), "Log without markers (the scan reads every byte)",
            file);

  std::string command = "grep -c -F";
  for (const char* marker : kMarkers) command += std::string(" -e '") + marker + "'";
  command += " '" + file + "' >/dev/null";
  // Best of three runs; the file was just written, so it is in the page cache for grep too.
  double best = 0;
  int status = 0;
  for (int i = 0; i < 3 && status != -1; ++i) {
    const auto start = Clock::now();
    status = std::system(command.c_str());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, static_cast<double>(bytes) / 1e6 / seconds);
  }
  if (status == -1) {
    std::printf("grep could not be run\n");
  } else {
    std::printf("grep -c -F with the six markers, the log without markers\n");
    report("grep", best);
  }
  std::remove(file.c_str());
  return 0;
}
