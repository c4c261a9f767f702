// UTF-8 checks and the Unicode white-space rules that the configuration line and HTTP heads use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kcs {

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// bytes decoded as UTF-8 with each maximal invalid subsequence replaced by one U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

// The length (0 to 3) of the start of a well-formed sequence that bytes end in before it is
// complete: a character that is still being written. Any other ending gives 0.
std::size_t incompleteUtf8Suffix(std::string_view bytes);

// The Unicode White_Space property.
bool isUnicodeWhiteSpace(char32_t codePoint);

// text (valid UTF-8) without Unicode white space at either end.
std::string_view trimUnicodeWhiteSpace(std::string_view text);

// The pieces of text (valid UTF-8) between runs of Unicode white space; no empty pieces.
std::vector<std::string_view> splitUnicodeWhiteSpace(std::string_view text);

}  // namespace kcs
