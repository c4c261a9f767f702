#include <windows.h>

#include <vector>

#include "korvessa/launcher_kit/program_path.h"
#include "windows_text.h"

namespace kcs::kit::detail {

std::string currentProgramPath() {
  // Long paths do not fit MAX_PATH: the buffer grows until the name fits (32767 at most).
  std::vector<wchar_t> wide(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
    if (length == 0) return {};
    if (length < wide.size()) return toUtf8(std::wstring_view(wide.data(), length));
    if (wide.size() >= 32768) return {};
    wide.resize(wide.size() * 2);
  }
}

}  // namespace kcs::kit::detail
