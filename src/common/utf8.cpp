// Placeholder until the text rules are written.
#include "common/utf8.h"

namespace kcs {

bool isValidUtf8(std::string_view) { return false; }
std::string decodeUtf8Lossy(std::string_view bytes) { return std::string(bytes); }
bool isUnicodeWhiteSpace(char32_t) { return false; }
std::string_view trimUnicodeWhiteSpace(std::string_view text) { return text; }
std::vector<std::string_view> splitUnicodeWhiteSpace(std::string_view) { return {}; }

}  // namespace kcs
