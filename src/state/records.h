// The two records that clients hand over: the launch ticket and the presence session.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace kcs
