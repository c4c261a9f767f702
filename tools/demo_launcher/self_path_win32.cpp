#include <windows.h>

#include <vector>

#include "self_path.h"

namespace kcs::demo {

std::string selfExecutablePath(const char* argv0) {
  std::vector<wchar_t> wide(MAX_PATH);
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0) return argv0 != nullptr ? argv0 : "";
    if (length < wide.size()) {
      wide.resize(length);
      break;
    }
    if (wide.size() >= 32768) return argv0 != nullptr ? argv0 : "";
    wide.resize(wide.size() * 2);
  }
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return argv0 != nullptr ? argv0 : "";
  std::string path(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), path.data(), bytes,
                        nullptr, nullptr);
  return path;
}

}  // namespace kcs::demo
