#include "presence/activity_payloads.h"

namespace kcs {
namespace {

nlohmann::json command(std::uint64_t nonce, std::uint32_t pid, nlohmann::json activity) {
  return nlohmann::json{
      {"cmd", "SET_ACTIVITY"},
      {"args", {{"pid", pid}, {"activity", std::move(activity)}}},
      {"nonce", "korvessa-" + std::to_string(nonce)},
  };
}

}  // namespace

ActivityTexts activityTexts(PresenceState::Kind kind) {
  switch (kind) {
    case PresenceState::Kind::Menus:
      return {"In the menus", "Duskmere"};
    case PresenceState::Kind::Creating:
      return {"Creating an Adventurer", "Duskmere"};
    case PresenceState::Kind::Playing:
      break;
  }
  return {"Playing on Duskmere", "Adventurer"};
}

nlohmann::json setActivityPayload(std::uint64_t nonce, std::uint32_t pid, const std::string& details,
                                  const std::string& stateText,
                                  std::optional<std::uint64_t> startTime) {
  nlohmann::json activity{
      {"type", 0},
      {"details", details},
      {"state", stateText},
      {"instance", false},
  };
  if (startTime) activity["timestamps"] = {{"start", *startTime}};
  return command(nonce, pid, std::move(activity));
}

nlohmann::json clearActivityPayload(std::uint64_t nonce, std::uint32_t pid) {
  return command(nonce, pid, nullptr);
}

Status setActivity(DiscordIpcClient& client, std::uint32_t pid, const std::string& details,
                   const std::string& stateText, std::optional<std::uint64_t> startTime) {
  ++client.nonceCounter;
  return sendFrame(client, kOpcodeFrame,
                   setActivityPayload(client.nonceCounter, pid, details, stateText, startTime));
}

Status clearActivity(DiscordIpcClient& client, std::uint32_t pid) {
  ++client.nonceCounter;
  return sendFrame(client, kOpcodeFrame, clearActivityPayload(client.nonceCounter, pid));
}

}  // namespace kcs
