// Random bytes from the system's secure source (getrandom on POSIX, BCryptGenRandom on Windows),
// for the access token that a launcher hands to the service.
#pragma once

#include <cstddef>
#include <string>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

// Fills size bytes at buffer. Fails only when the system source fails.
Status fillSecureRandom(unsigned char* buffer, std::size_t size);

// byteCount random bytes written as 2 * byteCount lower-case hexadecimal digits.
Result<std::string> secureRandomHex(std::size_t byteCount);

// The bytes behind a fresh access token. The service asks for at least 32 bytes of token text;
// 32 random bytes hex-encoded give 64.
inline constexpr std::size_t kTokenRandomBytes = 32;

// A fresh access token: kTokenRandomBytes random bytes, hex-encoded.
inline Result<std::string> generateAccessToken() { return secureRandomHex(kTokenRandomBytes); }

}  // namespace kcs::kit
