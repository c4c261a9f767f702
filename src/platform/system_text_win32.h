// Helpers of platform_win32.cpp shared with the tools' Windows code, so that their failures read
// like the service's and their names are checked the same way.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"

namespace kcs::platform {

// The system's description of an error code, as UTF-8 without the trailing line break.
std::string errorText(DWORD code);

// A UTF-8 path or pipe name as UTF-16 for the wide API; ill-formed UTF-8 and a NUL fail.
Result<std::wstring> widePath(const std::string& path);

}  // namespace kcs::platform
