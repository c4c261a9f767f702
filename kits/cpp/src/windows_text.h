// Text at the Windows API boundary: UTF-8 to UTF-16 and back, and the system's error texts.
// Only the *_win32.cpp files of the kit include this.
#pragma once

#include <string>
#include <string_view>

#include "korvessa/launcher_kit/result.h"

namespace kcs::kit::detail {

// Fails on bytes that are not valid UTF-8.
Result<std::wstring> toWide(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::wstring_view text);
// The system's sentence for an error code without its line break, or "system error N".
std::string systemErrorText(unsigned long code);

}  // namespace kcs::kit::detail
