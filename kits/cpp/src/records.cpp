// The records as the kit checks, writes and reads them. Names and order come from the lists of
// protocol.h alone; nlohmann's ordered_json keeps the members in the order they are added.
#include <nlohmann/json.hpp>

#include <string>
#include <type_traits>
#include <utility>

#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit {
namespace {

template <class Field>
using FieldType = typename std::decay_t<Field>::Type;

bool validUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// The first text field of record that is not valid UTF-8, refused by name.
template <class Record, class Fields>
Status checkTexts(const Record& record, const Fields& fields) {
  Status status;
  protocol::forEachField(fields, [&](const auto& field) {
    if constexpr (std::is_same_v<FieldType<decltype(field)>, std::string>) {
      if (!validUtf8(record.*field.member)) {
        status = refuse(std::string(field.name), "is not valid UTF-8");
        return false;
      }
    }
    return true;
  });
  return status;
}

// Compact JSON in field order; the record's texts are valid UTF-8 (checked before).
template <class Record, class Fields>
std::string recordJson(const Record& record, const Fields& fields) {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  protocol::forEachField(fields, [&](const auto& field) {
    json[std::string(field.name)] = record.*field.member;
    return true;
  });
  return json.dump();
}

}  // namespace

Status checkLoginTicket(const LoginTicket& ticket) {
  if (Status texts = checkTexts(ticket, protocol::kLoginTicketFields); !texts.ok()) return texts;
  if (ticket.clientLogin.empty() || ticket.clientLogin.front() != '!') {
    return refuse(std::string(protocol::kClientLogin), "must begin with \"!\"");
  }
  if (ticket.ticket.empty()) return refuse(std::string(protocol::kTicket), "must not be empty");
  return Status::success();
}

Status checkPresenceSession(const PresenceSession& session) {
  if (session.pid == 0) {
    return refuse(std::string(protocol::kPid), "must be a process id from 1 to 4294967295");
  }
  return Status::success();
}

Result<std::string> configurationLine(const std::string& token, const std::string& clientDir) {
  const protocol::Configuration configuration{token, clientDir};
  if (Status texts = checkTexts(configuration, protocol::kConfigurationFields); !texts.ok()) {
    return texts.failure();
  }
  return recordJson(configuration, protocol::kConfigurationFields) + "\n";
}

Result<std::string> loginTicketJson(const LoginTicket& ticket) {
  if (Status checked = checkLoginTicket(ticket); !checked.ok()) return checked.failure();
  return recordJson(ticket, protocol::kLoginTicketFields);
}

Result<std::string> presenceSessionJson(const PresenceSession& session) {
  if (Status checked = checkPresenceSession(session); !checked.ok()) return checked.failure();
  return recordJson(session, protocol::kPresenceSessionFields);
}

Result<LoginTicket> parseLoginTicketJson(const std::string& json) {
  const nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return fail("the ticket is not a JSON object");
  LoginTicket ticket;
  std::string missing;
  protocol::forEachField(protocol::kLoginTicketFields, [&](const auto& field) {
    using Type = FieldType<decltype(field)>;
    const auto member = value.find(field.name);
    const bool fits = member != value.end() && (std::is_same_v<Type, std::string>
                                                    ? member->is_string()
                                                    : member->is_number_unsigned());
    if (!fits) {
      missing = std::string(field.name);
      return false;
    }
    ticket.*field.member = member->template get<Type>();
    return true;
  });
  if (!missing.empty()) return fail("the ticket has no member " + missing + " of its type");
  return ticket;
}

}  // namespace kcs::kit
