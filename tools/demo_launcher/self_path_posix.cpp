#include <filesystem>
#include <system_error>

#include "self_path.h"

namespace kcs::demo {

std::string selfExecutablePath(const char* argv0) {
  // Linux names the executable in /proc; elsewhere argv0 is what the shell ran.
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && !path.empty()) return path.string();
  return argv0 != nullptr ? argv0 : "";
}

}  // namespace kcs::demo
