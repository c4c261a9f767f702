#include "discord_ipc/discord_activity.h"

#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "presence/activity_payloads.h"
#include "presence/presence_lines.h"

namespace kcs::kit {
namespace {

// Digits only, as the service prints its numbers, at most max.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t max) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max) {
    return std::nullopt;
  }
  return value;
}

Result<nlohmann::json> parseObject(std::string_view text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return fail("not a JSON object");
  return value;
}

}  // namespace

Result<DiscordActivity> decodeSetActivity(std::string_view payload) {
  Result<nlohmann::json> parsed = parseObject(payload);
  if (!parsed.ok()) return fail("command payload is " + parsed.error());
  const nlohmann::json& json = *parsed;
  if (json.value("cmd", std::string()) != "SET_ACTIVITY") return fail("not a SET_ACTIVITY command");
  auto args = json.find("args");
  if (args == json.end() || !args->is_object()) return fail("SET_ACTIVITY without args");
  auto pid = args->find("pid");
  auto activity = args->find("activity");
  if (pid == args->end() || !pid->is_number_unsigned() || pid->get<std::uint64_t>() > 0xffffffffu) {
    return fail("SET_ACTIVITY without a pid");
  }
  if (activity == args->end()) return fail("SET_ACTIVITY without an activity member");

  DiscordActivity decoded;
  decoded.pid = pid->get<std::uint32_t>();
  auto nonce = json.find("nonce");
  if (nonce != json.end() && nonce->is_string()) decoded.nonce = nonce->get<std::string>();
  if (activity->is_null()) {
    decoded.cleared = true;
    return decoded;
  }
  if (!activity->is_object()) return fail("activity is neither an object nor null");
  auto details = activity->find("details");
  auto state = activity->find("state");
  if (details == activity->end() || !details->is_string() || state == activity->end() ||
      !state->is_string()) {
    return fail("activity without details and state texts");
  }
  decoded.details = details->get<std::string>();
  decoded.state = state->get<std::string>();
  auto timestamps = activity->find("timestamps");
  if (timestamps != activity->end()) {
    auto start = timestamps->is_object() ? timestamps->find("start") : timestamps->end();
    if (start == timestamps->end() || !start->is_number_unsigned()) {
      return fail("activity timestamps without a start");
    }
    decoded.startSeconds = start->get<std::uint64_t>();
  }
  return decoded;
}

Result<std::string> decodeHandshake(std::string_view payload) {
  Result<nlohmann::json> parsed = parseObject(payload);
  if (!parsed.ok()) return fail("handshake payload is " + parsed.error());
  auto id = parsed->find("client_id");
  if (id == parsed->end() || !id->is_string()) return fail("handshake without a client_id");
  return id->get<std::string>();
}

Result<DiscordActivity> decodePresenceLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, kUpdatedLinePrefix.size()) != kUpdatedLinePrefix) {
    return fail("not a presence line");
  }
  line.remove_prefix(kUpdatedLinePrefix.size());
  const std::size_t space = line.find(kUpdatedLineState);
  if (space == std::string_view::npos) return fail("presence line without a state");
  std::optional<std::uint64_t> pid = parseDecimal(line.substr(0, space), 0xffffffffu);
  if (!pid) return fail("presence line with a bad pid");
  const std::string_view state = line.substr(space + kUpdatedLineState.size());

  DiscordActivity activity;
  activity.pid = static_cast<std::uint32_t>(*pid);
  ActivityTexts texts{};
  if (state == "Menus") {
    texts = activityTexts(PresenceState::Kind::Menus);
  } else if (state == "Creating") {
    texts = activityTexts(PresenceState::Kind::Creating);
  } else if (state.size() > 9 && state.substr(0, 8) == "Playing(" && state.back() == ')') {
    std::optional<std::uint64_t> start =
        parseDecimal(state.substr(8, state.size() - 9), UINT64_MAX);
    if (!start) return fail("presence line with a bad start time");
    texts = activityTexts(PresenceState::Kind::Playing);
    activity.startSeconds = *start;
  } else {
    return fail("presence line with an unknown state");
  }
  activity.details = texts.details;
  activity.state = texts.state;
  return activity;
}

std::string formatElapsed(std::uint64_t seconds) {
  char text[48];
  if (seconds < 3600) {
    std::snprintf(text, sizeof(text), "%02u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof(text), "%llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  }
  return text;
}

std::string describeActivity(const DiscordActivity& activity, std::uint64_t nowSeconds) {
  if (activity.cleared) return "activity cleared";
  std::string text = "\"" + activity.details + "\" / \"" + activity.state + "\"";
  if (activity.startSeconds) {
    // A start time ahead of the clock shows as no time elapsed, as Discord does.
    const std::uint64_t start = *activity.startSeconds;
    text += ", elapsed " + formatElapsed(nowSeconds > start ? nowSeconds - start : 0) + " since start";
  }
  return text;
}

}  // namespace kcs::kit
