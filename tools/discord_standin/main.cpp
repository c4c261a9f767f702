// discord-standin: listens where the Discord desktop client would, accepts connections one after
// another and prints every frame it receives, so tests and the demo can see what the service
// sends without touching a real Discord. Each event is one line on standard output:
//
//   listening <endpoint>
//   connected <n>
//   frame <n> <opcode> <length> <payload>
//   closed <n>          the stand-in closed connection n (--close-after)
//   ended <n> [partial] the peer closed connection n (partial: in the middle of a frame)
//   refused <n> <length> a frame longer than the stand-in accepts; connection n is closed
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/decimal.h"
#include "platform/platform.h"

namespace {

using kcs::Result;
using kcs::Status;
namespace platform = kcs::platform;

constexpr std::uint32_t kMaxPayload = 16u << 20;  // far beyond any real command

constexpr const char* kUsage =
    "usage: discord-standin [--index N | --name ENDPOINT] [--close-after K] [--no-read]\n"
    "  --index N        listen on Discord endpoint N (0-9) at its plain location (default 0)\n"
    "  --name ENDPOINT  listen on this socket path / pipe name instead\n"
    "  --close-after K  close each connection after its K-th frame\n"
    "  --no-read        accept connections but never read from them\n";

struct Options {
  std::string name;
  unsigned closeAfter = 0;  // 0: never
  bool noRead = false;
};

[[noreturn]] void die(const std::string& message, int status) {
  (void)platform::writeStandardError(message + "\n");
  platform::exitProcess(status);
}

void say(const std::string& line) {
  if (!platform::writeStandardOutput(line + "\n").ok()) platform::exitProcess(1);
}

unsigned parseCount(const std::string& text, const char* option) {
  std::optional<std::uint64_t> value = kcs::parseUnsignedDecimal(text, 1000000);
  if (!value) die(std::string("bad value for ") + option, 2);
  return static_cast<unsigned>(*value);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  unsigned index = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--index" && hasValue) {
      index = parseCount(args[++i], "--index");
      if (index > 9) die("--index must be 0 to 9", 2);
    } else if (arg == "--name" && hasValue) {
      options.name = args[++i];
    } else if (arg == "--close-after" && hasValue) {
      options.closeAfter = parseCount(args[++i], "--close-after");
    } else if (arg == "--no-read") {
      options.noRead = true;
    } else if (arg == "--help" || arg == "-h") {
      (void)platform::writeStandardOutput(kUsage);
      platform::exitProcess(0);
    } else {
      die(std::string(kUsage), 2);
    }
  }
  if (options.name.empty()) options.name = platform::discordIpcName(index);
  return options;
}

// Reads exactly size bytes into out (appending). False when the peer closed or a read failed.
bool readExactly(platform::IpcChannel& channel, std::size_t size, std::string& out) {
  char buffer[4096];
  while (size > 0) {
    Result<std::size_t> got =
        platform::readIpc(channel, buffer, size < sizeof(buffer) ? size : sizeof(buffer));
    if (!got.ok() || *got == 0) return false;
    out.append(buffer, *got);
    size -= *got;
  }
  return true;
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

void serve(platform::IpcChannel channel, unsigned n, const Options& options) {
  const std::string id = std::to_string(n);
  for (unsigned frames = 0;;) {
    std::string header;
    if (!readExactly(channel, 8, header)) {
      say("ended " + id + (header.empty() ? "" : " partial"));
      return;
    }
    const std::uint32_t opcode = littleEndian(header, 0);
    const std::uint32_t length = littleEndian(header, 4);
    if (length > kMaxPayload) {
      say("refused " + id + " " + std::to_string(length));
      return;
    }
    std::string payload;
    if (!readExactly(channel, length, payload)) {
      say("ended " + id + " partial");
      return;
    }
    say("frame " + id + " " + std::to_string(opcode) + " " + std::to_string(length) + " " + payload);
    if (options.closeAfter != 0 && ++frames == options.closeAfter) {
      channel.reset();
      say("closed " + id);
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  platform::initProcess();
  const Options options = parseOptions(argc, argv);
  Result<platform::IpcListener> listener = platform::listenIpc(options.name);
  if (!listener.ok()) die("cannot listen on " + options.name + ": " + listener.error(), 1);
  say("listening " + options.name);

  std::vector<platform::IpcChannel> held;  // --no-read keeps every connection open, unread
  for (unsigned n = 1;; ++n) {
    Result<platform::IpcChannel> channel = platform::acceptIpc(*listener);
    if (!channel.ok()) die("accept failed: " + channel.error(), 1);
    say("connected " + std::to_string(n));
    if (options.noRead) {
      held.push_back(std::move(channel).value());
    } else {
      serve(std::move(channel).value(), n, options);
    }
  }
}
