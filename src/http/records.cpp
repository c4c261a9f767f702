#include "http/records.h"

#include <array>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/record_reader.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs {
namespace {

constexpr std::array<FieldSpec, 5> kLoginTicketFields = {{
    {protocol::kUsername, FieldType::Text},
    {protocol::kClientLogin, FieldType::Text},
    {protocol::kTicket, FieldType::Text},
    {protocol::kExpiresAt, FieldType::Text},
    {protocol::kTtlSeconds, FieldType::Unsigned64},
}};

constexpr std::array<FieldSpec, 2> kPresenceSessionFields = {{
    {protocol::kPid, FieldType::Unsigned32},
    {protocol::kLogOffset, FieldType::Unsigned64},
}};

}  // namespace

Result<LoginTicket> readLoginTicket(std::string_view json) {
  Result<std::vector<FieldValue>> fields = readRecord(json, {"LoginTicket", kLoginTicketFields});
  if (!fields.ok()) return fail(fields.error());
  std::vector<FieldValue>& v = *fields;
  LoginTicket ticket;
  ticket.username = std::move(v[0].text);
  ticket.clientLogin = std::move(v[1].text);
  ticket.ticket = std::move(v[2].text);
  ticket.expiresAt = std::move(v[3].text);
  ticket.ttlSeconds = v[4].number;
  return ticket;
}

Result<PresenceSession> readPresenceSession(std::string_view json) {
  Result<std::vector<FieldValue>> fields =
      readRecord(json, {"PresenceSession", kPresenceSessionFields});
  if (!fields.ok()) return fail(fields.error());
  PresenceSession session;
  // The reader has checked that pid fits 32 bits.
  session.pid = static_cast<std::uint32_t>((*fields)[0].number);
  session.logOffset = (*fields)[1].number;
  return session;
}

bool isValid(const LoginTicket& ticket) {
  return !ticket.clientLogin.empty() && ticket.clientLogin.front() == '!' && !ticket.ticket.empty();
}

bool isValid(const PresenceSession& session) { return session.pid != 0; }

Result<std::string> writeLoginTicket(const LoginTicket& ticket) {
  // ordered_json keeps insertion order, so the members come out in field order; dump() writes
  // compact JSON, escapes control characters as lower-case \u00xx and copies other bytes as they
  // are. It throws on text that is not valid UTF-8.
  try {
    nlohmann::ordered_json json;
    json[protocol::kUsername] = ticket.username;
    json[protocol::kClientLogin] = ticket.clientLogin;
    json[protocol::kTicket] = ticket.ticket;
    json[protocol::kExpiresAt] = ticket.expiresAt;
    json[protocol::kTtlSeconds] = ticket.ttlSeconds;
    return json.dump();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace kcs
