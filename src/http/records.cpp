#include "http/records.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/record_fields.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs {
namespace {

constexpr auto kLoginTicketSpecs = fieldSpecs(protocol::kLoginTicketFields);
constexpr auto kPresenceSessionSpecs = fieldSpecs(protocol::kPresenceSessionFields);

}  // namespace

Result<LoginTicket> readLoginTicket(std::string_view json) {
  Result<std::vector<FieldValue>> fields = readRecord(json, {"LoginTicket", kLoginTicketSpecs});
  if (!fields.ok()) return fail(fields.error());
  return recordFrom<LoginTicket>(*fields, protocol::kLoginTicketFields);
}

Result<PresenceSession> readPresenceSession(std::string_view json) {
  Result<std::vector<FieldValue>> fields =
      readRecord(json, {"PresenceSession", kPresenceSessionSpecs});
  if (!fields.ok()) return fail(fields.error());
  return recordFrom<PresenceSession>(*fields, protocol::kPresenceSessionFields);
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
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    protocol::forEachField(protocol::kLoginTicketFields, [&](const auto& field) {
      json[std::string(field.name)] = ticket.*field.member;
      return true;
    });
    return json.dump();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

}  // namespace kcs
