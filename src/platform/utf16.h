// Conversions between UTF-8 and UTF-16 for the Windows layer, kept free of Windows headers so
// that they build and are tested on every platform.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"

namespace kcs::platform {

// UTF-16 to UTF-8. A surrogate without its partner is written in the three-byte form it would
// have as a code point (generalized UTF-8), so the text survives but fails any UTF-8 check.
std::string utf16ToGeneralizedUtf8(std::u16string_view text);

// Strict UTF-8 to UTF-16: overlong forms, encoded surrogates, values above U+10FFFF and truncated
// sequences are refused.
Result<std::u16string> utf8ToUtf16(std::string_view text);

// UTF-8 to UTF-16 for display: each maximal ill-formed piece (a stray byte, a truncated or
// refused sequence) becomes U+FFFD, as a console would show it, and the rest converts as above.
std::u16string utf8ToUtf16Replacing(std::string_view text);

}  // namespace kcs::platform
