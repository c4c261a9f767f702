// presence-check: asks the Discord desktop client why the service's activity does not show.
// It finds Discord's endpoint, handshakes and sends the menus activity exactly as the service
// does (same discovery, same payloads), but unlike the service it reads Discord's answers and
// says in one sentence each what they mean.
#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/decimal.h"
#include "platform/platform.h"
#include "presence/activity_payloads.h"
#include "presence/discord_ipc_client.h"
#include "presence_check/frame_reader.h"

namespace {

using kcs::Result;
using kcs::Status;
using kcs::check::Incoming;
namespace platform = kcs::platform;

enum Exit : int {
  kAccepted = 0,
  kRejected = 1,
  kUsage = 2,
  kNoEndpoint = 3,
  kNoAnswer = 4,
  kBroken = 5,
};

constexpr unsigned kAnswerSeconds = 5;
constexpr std::uint64_t kMaxKeepSeconds = 86400;

// The activity named is the one the service shows first, with the service's own texts.
std::string usageText() {
  return std::string("usage: presence-check [--endpoint N|PATH] [--keep SECONDS]\n"
                     "Connects to the Discord desktop client as korvessa-client-services does, "
                     "shows the\n\"") +
         kcs::activityTexts(kcs::PresenceState::Kind::Menus).details +
         "\" activity, reads Discord's answers and says what they mean.\n"
         "  --endpoint N      use only Discord endpoint N (0-9), found as the service finds it\n"
         "  --endpoint PATH   use the endpoint at this socket path / pipe name\n"
         "  --keep SECONDS    keep the activity visible this long before clearing it (default 0)\n"
         "  --help, -h        this text\n"
         "Exit status:\n"
         "  0  Discord accepted the activity\n"
         "  1  Discord rejected the handshake or the activity\n"
         "  2  usage error\n"
         "  3  no Discord endpoint found\n"
         "  4  Discord did not answer within 5 seconds\n"
         "  5  the connection failed (closed early, a write failed, or a malformed answer)\n";
}

struct Options {
  std::optional<unsigned> index;
  std::string name;  // an endpoint named by path / pipe name
  unsigned keepSeconds = 0;
};

void say(const std::string& sentence) {
  if (!platform::writeStandardOutput(sentence + "\n").ok()) platform::exitProcess(kBroken);
}

[[noreturn]] void finish(int status, const std::string& sentence) {
  say(sentence);
  platform::exitProcess(status);
}

[[noreturn]] void usageError(const std::string& problem) {
  (void)platform::writeStandardError("presence-check: " + problem + "\n" + usageText());
  platform::exitProcess(kUsage);
}

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      (void)platform::writeStandardOutput(usageText());
      platform::exitProcess(0);
    } else if (arg == "--endpoint" && hasValue) {
      const std::string& value = args[++i];
      if (value.empty()) usageError("--endpoint needs an index or a path");
      // All digits means an index, never a path: "10" is a mistyped index, not a file.
      if (value.find_first_not_of("0123456789") == std::string::npos) {
        if (value.size() != 1) usageError("--endpoint index must be 0 to 9: " + value);
        options.index = static_cast<unsigned>(value[0] - '0');
      } else {
        options.name = value;
      }
    } else if (arg == "--keep" && hasValue) {
      std::optional<std::uint64_t> seconds = kcs::parseUnsignedDecimal(args[++i], kMaxKeepSeconds);
      if (!seconds) usageError("--keep needs whole seconds, at most 86400");
      options.keepSeconds = static_cast<unsigned>(*seconds);
    } else {
      usageError("unknown or incomplete argument: " + arg);
    }
  }
  return options;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The member key of object, or null when object is no object or lacks it.
nlohmann::json memberOf(const nlohmann::json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return nullptr;
  return object[key];
}

std::string textAt(const nlohmann::json& object, const char* key) {
  const nlohmann::json member = memberOf(object, key);
  return member.is_string() ? member.get<std::string>() : std::string();
}

// "code 4000, \"Invalid Client ID\"" from an object with "code" and "message".
std::string codeAndMessage(const nlohmann::json& object) {
  const nlohmann::json number = memberOf(object, "code");
  const std::string code = number.is_number_integer() ? "code " + number.dump() : "without a code";
  const std::string message = textAt(object, "message");
  return message.empty() ? code : code + ", " + quoted(message);
}

// Where the endpoints were looked for: each location of index 0 less its file name.
std::string placesLookedAt() {
  const std::string file = "discord-ipc-0";
  std::string places;
  for (std::string location : platform::discordIpcLocations(0)) {
    if (location.size() >= file.size()) location.resize(location.size() - file.size());
    while (location.size() > 1 && (location.back() == '/' || location.back() == '\\')) {
      location.pop_back();
    }
    places += (places.empty() ? "" : ", ") + location;
  }
  return places;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

[[noreturn]] void noEndpoint(const Options& options) {
  std::string where;
  if (!options.name.empty()) {
    where = options.name;
  } else if (options.index) {
    where = joined(platform::discordIpcLocations(*options.index));
  } else {
    where = "discord-ipc-0 to discord-ipc-9 in " + placesLookedAt();
  }
  finish(kNoEndpoint, "No Discord endpoint found: nothing accepted a connection at " + where +
                          " (is the Discord desktop app running, as this user?).");
}

// Connects through the service's own discovery and handshake, narrowed by --endpoint.
kcs::DiscordIpcClient connect(const Options& options) {
  std::optional<unsigned> opened;
  auto opener = [&](unsigned index) -> Result<platform::IpcChannel> {
    Result<platform::IpcChannel> channel = kcs::fail("not asked for");
    if (!options.name.empty()) {
      if (index == 0) channel = platform::openIpcEndpoint(options.name);
    } else if (!options.index || *options.index == index) {
      channel = platform::openDiscordIpc(index);
    }
    if (channel.ok()) opened = index;
    return channel;
  };
  Result<kcs::DiscordIpcClient> client = kcs::DiscordIpcClient::connect(opener);
  if (!client.ok() && !opened) noEndpoint(options);
  std::string where = options.name;
  if (where.empty()) {
    const std::vector<std::string> locations = platform::discordIpcLocations(*opened);
    where = "endpoint " + std::to_string(*opened);
    if (client.ok()) {
      Result<std::string> peer = platform::ipcPeerName(client->pipe);
      if (peer.ok()) {
        where += " at " + *peer;
      } else if (locations.size() == 1) {
        where += " at " + locations.front();
      }
    }
  }
  if (!client.ok()) {
    finish(kBroken, "Discord " + where +
                        " accepted the connection, but the handshake could not be written: " +
                        client.error() + ".");
  }
  say("Connected to Discord " + where + " with application id " + kcs::kDiscordApplicationId + ".");
  return std::move(client).value();
}

[[noreturn]] void closedByDiscord(const nlohmann::json& payload, const std::string& when) {
  std::string sentence =
      "Discord closed the connection " + when + ": " + codeAndMessage(payload) + ".";
  if (memberOf(payload, "code") == 4000) {
    sentence += std::string(" The application id ") + kcs::kDiscordApplicationId +
                " is not a registered Discord application: build the service with your "
                "launcher's own registered application id, -DKCS_DISCORD_APPLICATION_ID=<id>.";
  }
  finish(kRejected, sentence);
}

// The payload of the next command-answer frame (opcode 1). Frames of other opcodes are
// skipped; a CLOSE frame, silence, the end of the connection or a broken frame end the check.
nlohmann::json nextAnswer(kcs::check::FrameReader& reader, const std::string& awaited) {
  for (;;) {
    Incoming incoming = reader.next(kAnswerSeconds * 1000);
    if (incoming.kind == Incoming::Kind::TimedOut) {
      finish(kNoAnswer, "Discord did not answer " + awaited + " within " +
                            std::to_string(kAnswerSeconds) + " seconds.");
    }
    if (incoming.kind == Incoming::Kind::Closed) {
      finish(kBroken, "Discord closed the connection without answering " + awaited + ".");
    }
    if (incoming.kind == Incoming::Kind::Failed) {
      finish(kBroken,
             "Reading Discord's answer to " + awaited + " failed: " + incoming.error + ".");
    }
    nlohmann::json payload = nlohmann::json::parse(incoming.frame.payload, nullptr, false);
    if (incoming.frame.opcode == kcs::ipc::kOpcodeClose) {
      closedByDiscord(payload, "instead of answering " + awaited);
    }
    if (incoming.frame.opcode == kcs::kOpcodeFrame) return payload;
  }
}

void awaitReady(kcs::check::FrameReader& reader) {
  for (;;) {
    const nlohmann::json payload = nextAnswer(reader, "the handshake");
    const std::string event = textAt(payload, "evt");
    if (event == "ERROR") {
      finish(kRejected,
             "Discord refused the handshake: " + codeAndMessage(memberOf(payload, "data")) + ".");
    }
    if (event != "READY") continue;
    const nlohmann::json user = memberOf(memberOf(payload, "data"), "user");
    const std::string username = textAt(user, "username");
    const std::string globalName = textAt(user, "global_name");
    if (username.empty() && globalName.empty()) {
      say("Discord is ready (it names no signed-in user).");
    } else if (globalName.empty() || globalName == username) {
      say("Discord is ready for user " + quoted(username.empty() ? globalName : username) + ".");
    } else {
      say("Discord is ready for user " + quoted(username) + " (" + quoted(globalName) + ").");
    }
    return;
  }
}

// Waits for the answer that carries nonce. An ERROR event for it, or one that names no
// command at all, ends the check as a refusal.
void awaitReply(kcs::check::FrameReader& reader, const std::string& nonce,
                const std::string& awaited) {
  for (;;) {
    const nlohmann::json payload = nextAnswer(reader, awaited);
    const bool error = textAt(payload, "evt") == "ERROR";
    const nlohmann::json replyNonce = memberOf(payload, "nonce");
    if (error && (replyNonce == nonce || !replyNonce.is_string())) {
      finish(kRejected,
             "Discord refused " + awaited + ": " + codeAndMessage(memberOf(payload, "data")) + ".");
    }
    if (replyNonce == nonce) return;
  }
}

std::string nonceOf(const kcs::DiscordIpcClient& client) {
  return "korvessa-" + std::to_string(client.nonceCounter);
}

}  // namespace

int main(int argc, char** argv) {
  platform::initProcess();
  const Options options = parseOptions(platform::commandLineArguments(argc, argv));
  kcs::DiscordIpcClient client = connect(options);
  kcs::check::FrameReader reader(client);
  awaitReady(reader);

  const std::uint32_t pid = platform::currentProcessId();
  const kcs::ActivityTexts texts = kcs::activityTexts(kcs::PresenceState::Kind::Menus);
  Status sent = kcs::setActivity(client, pid, texts.details, texts.state, std::nullopt);
  if (!sent.ok()) finish(kBroken, "Sending the activity failed: " + sent.error() + ".");
  awaitReply(reader, nonceOf(client), "the activity");
  say(std::string("Discord accepted the activity: it shows ") + quoted(texts.details) + " / " +
      quoted(texts.state) + ".");

  if (options.keepSeconds > 0) {
    say("Keeping it visible for " + std::to_string(options.keepSeconds) + " seconds.");
    // Whatever Discord writes meanwhile is read (PINGs answered) until the time is up.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(options.keepSeconds);
    Incoming incoming;
    do {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      incoming = reader.next(left.count() > 0 ? static_cast<unsigned>(left.count()) : 0);
    } while (incoming.kind == Incoming::Kind::Frame);
    if (incoming.kind != Incoming::Kind::TimedOut) {
      finish(kBroken, "The connection ended while the activity was shown.");
    }
  }
  Status cleared = kcs::clearActivity(client, pid);
  if (!cleared.ok()) finish(kBroken, "Clearing the activity failed: " + cleared.error() + ".");
  awaitReply(reader, nonceOf(client), "the clearing of the activity");
  say("Cleared the activity again.");
  return kAccepted;
}
