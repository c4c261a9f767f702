// The two records that clients hand over: the launch ticket and the presence session.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace kcs {

struct LoginTicket {
  std::string username;
  std::string clientLogin;
  std::string ticket;
  std::string expiresAt;
  std::uint64_t ttlSeconds = 0;
};

struct PresenceSession {
  std::uint32_t pid = 0;
  std::uint64_t logOffset = 0;
};

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
