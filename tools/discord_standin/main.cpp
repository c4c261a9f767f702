// discord-standin: listens where the Discord desktop client would, accepts connections one after
// another and prints every frame it receives, so tests and the demo can see what the service
// sends without touching a real Discord. With --mode it also answers as Discord does:
//
//   silent  never writes anything (the default)
//   ready   a READY dispatch after the handshake, then a reply to each command, echoing its nonce
//   reject  a CLOSE frame (code 4000, "Invalid Client ID") after the handshake, then closes
//   error   a READY dispatch, then an ERROR event in reply to each command
//
// Replies are written inline, between two reads, as one connection is served at a time.
// Each event is one line on standard output:
//
//   listening <endpoint>
//   connected <n>
//   frame <n> <opcode> <length> <payload>
//   closed <n>          the stand-in closed connection n (--close-after, or after a reject)
//   ended <n> [partial] the peer closed connection n (partial: in the middle of a frame)
//   refused <n> <length> a frame longer than the stand-in accepts; connection n is closed
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/decimal.h"
#include "discord_ipc/frame_decoder.h"
#include "discord_ipc/ipc_listener.h"
#include "platform/platform.h"
#include "presence/discord_ipc_client.h"

namespace {

using kcs::Result;
using kcs::Status;
namespace platform = kcs::platform;

constexpr std::uint32_t kMaxPayload = 16u << 20;  // far beyond any real command

constexpr const char* kUsage =
    "usage: discord-standin [--index N | --name ENDPOINT] [--close-after K] [--no-read]\n"
    "                       [--mode silent|ready|reject|error] [--ping]\n"
    "  --index N        listen on Discord endpoint N (0-9) at its plain location (default 0)\n"
    "  --name ENDPOINT  listen on this socket path / pipe name instead\n"
    "  --close-after K  close each connection after its K-th frame\n"
    "  --no-read        accept connections but never read from them\n"
    "  --mode MODE      how to answer: silent (never), ready, reject or error\n"
    "  --ping           ready and error modes: send a PING (opcode 3) before the READY dispatch\n";

enum class Mode { Silent, Ready, Reject, Error };

struct Options {
  std::string name;
  unsigned closeAfter = 0;  // 0: never
  bool noRead = false;
  Mode mode = Mode::Silent;
  bool ping = false;
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
    } else if (arg == "--mode" && hasValue) {
      const std::string& mode = args[++i];
      if (mode == "silent") {
        options.mode = Mode::Silent;
      } else if (mode == "ready") {
        options.mode = Mode::Ready;
      } else if (mode == "reject") {
        options.mode = Mode::Reject;
      } else if (mode == "error") {
        options.mode = Mode::Error;
      } else {
        die("--mode must be silent, ready, reject or error", 2);
      }
    } else if (arg == "--ping") {
      options.ping = true;
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

// The user a READY dispatch names, as the Discord desktop client describes the signed-in user.
nlohmann::json readyDispatch() {
  return {{"cmd", "DISPATCH"},
          {"evt", "READY"},
          {"nonce", nullptr},
          {"data",
           {{"v", 1},
            {"config", {{"cdn_host", "cdn.invalid"}, {"api_endpoint", "//api.invalid"},
                        {"environment", "production"}}},
            {"user", {{"id", "100000000000000001"}, {"username", "standin"},
                      {"global_name", "Discord Stand-in"}, {"discriminator", "0"},
                      {"avatar", nullptr}}}}}};
}

// The answer to one command frame: its "cmd" and "nonce" echoed, as Discord does.
nlohmann::json replyTo(const std::string& payload, Mode mode) {
  const nlohmann::json command = nlohmann::json::parse(payload, nullptr, false);
  nlohmann::json reply{{"cmd", nullptr}, {"nonce", nullptr}, {"evt", nullptr}, {"data", nullptr}};
  if (command.is_object()) {
    if (command.contains("cmd")) reply["cmd"] = command["cmd"];
    if (command.contains("nonce")) reply["nonce"] = command["nonce"];
    const nlohmann::json* args = command.contains("args") ? &command["args"] : nullptr;
    if (args != nullptr && args->is_object() && args->contains("activity")) {
      reply["data"] = (*args)["activity"];
    }
  }
  if (mode == Mode::Error) {
    reply["evt"] = "ERROR";
    reply["data"] = {{"code", 4000},
                     {"message", "Invalid Payload: the stand-in refuses every command"}};
  }
  return reply;
}

// Writes the answers that frame calls for. False when the connection is to be closed.
bool answer(platform::IpcChannel& channel, const kcs::ipc::IpcFrame& frame,
            const Options& options) {
  if (options.mode == Mode::Silent) return true;
  std::vector<std::pair<std::uint32_t, std::string>> out;
  if (frame.opcode == kcs::kOpcodeHandshake) {
    if (options.mode == Mode::Reject) {
      out.emplace_back(kcs::ipc::kOpcodeClose, R"({"code":4000,"message":"Invalid Client ID"})");
    } else {
      if (options.ping) out.emplace_back(kcs::ipc::kOpcodePing, R"({"standin":"ping"})");
      out.emplace_back(kcs::kOpcodeFrame, readyDispatch().dump());
    }
  } else if (frame.opcode == kcs::kOpcodeFrame) {
    out.emplace_back(kcs::kOpcodeFrame, replyTo(frame.payload, options.mode).dump());
  }
  for (const auto& [opcode, payload] : out) {
    if (!kcs::writeFrame(channel, opcode, payload).ok()) return false;
  }
  return !(options.mode == Mode::Reject && frame.opcode == kcs::kOpcodeHandshake);
}

void serve(platform::IpcChannel channel, unsigned n, const Options& options) {
  const std::string id = std::to_string(n);
  kcs::ipc::FrameDecoder decoder(kMaxPayload);
  char buffer[4096];
  for (unsigned frames = 0;;) {
    Result<std::size_t> got = platform::readIpc(channel, buffer, sizeof(buffer));
    if (!got.ok() || *got == 0) {
      say("ended " + id + (decoder.midFrame() ? " partial" : ""));
      return;
    }
    decoder.feed(std::string_view(buffer, *got));
    for (;;) {
      Result<std::optional<kcs::ipc::IpcFrame>> frame = decoder.next();
      if (!frame.ok()) {
        say("refused " + id + " " + std::to_string(decoder.announcedLength().value_or(0)));
        return;
      }
      if (!frame->has_value()) break;
      const kcs::ipc::IpcFrame& whole = **frame;
      say("frame " + id + " " + std::to_string(whole.opcode) + " " +
          std::to_string(whole.payload.size()) + " " + whole.payload);
      const bool keep = answer(channel, whole, options);
      if (!keep || (options.closeAfter != 0 && ++frames == options.closeAfter)) {
        channel.reset();
        say("closed " + id);
        return;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  platform::initProcess();
  const Options options = parseOptions(argc, argv);
  // A running Discord (or another stand-in) keeps its endpoint: only a stale one is replaced.
  if (Result<bool> served = kcs::ipc::ipcEndpointServed(options.name); served.ok() && *served) {
    die(options.name + " is already served by a running program (Discord?); pick a free endpoint "
        "with --index N or --name ENDPOINT", 1);
  }
  Result<kcs::ipc::IpcListener> listener = kcs::ipc::listenIpc(options.name);
  if (!listener.ok()) die("cannot listen on " + options.name + ": " + listener.error(), 1);
  say("listening " + options.name);

  std::vector<platform::IpcChannel> held;  // --no-read keeps every connection open, unread
  for (unsigned n = 1;; ++n) {
    Result<platform::IpcChannel> channel = kcs::ipc::acceptIpc(*listener);
    if (!channel.ok()) die("accept failed: " + channel.error(), 1);
    say("connected " + std::to_string(n));
    if (options.noRead) {
      held.push_back(std::move(channel).value());
    } else {
      serve(std::move(channel).value(), n, options);
    }
  }
}
