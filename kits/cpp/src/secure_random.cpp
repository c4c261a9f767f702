#include "korvessa/launcher_kit/secure_random.h"

#include <vector>

namespace kcs::kit {

Result<std::string> secureRandomHex(std::size_t byteCount) {
  std::vector<unsigned char> bytes(byteCount);
  Status filled = fillSecureRandom(bytes.data(), bytes.size());
  if (!filled.ok()) return fail(filled.error());
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(byteCount * 2);
  for (unsigned char b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0f]);
  }
  return text;
}

}  // namespace kcs::kit
