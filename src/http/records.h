// The JSON form and the validity rules of the two records that clients hand over: the launch
// ticket and the presence session.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "state/records.h"

namespace kcs {

// Strict JSON readers (object or array form); the failure text is for diagnostics only.
Result<LoginTicket> readLoginTicket(std::string_view json);
Result<PresenceSession> readPresenceSession(std::string_view json);

// A ticket is valid when clientLogin begins with "!" and ticket is not empty.
bool isValid(const LoginTicket& ticket);
// A session is valid when pid is not 0.
bool isValid(const PresenceSession& session);

// The ticket as compact JSON in field order.
Result<std::string> writeLoginTicket(const LoginTicket& ticket);

}  // namespace kcs
