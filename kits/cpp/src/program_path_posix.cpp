#include <filesystem>
#include <system_error>

#include "korvessa/launcher_kit/program_path.h"

namespace kcs::kit::detail {

std::string currentProgramPath() {
  // Linux names the executable in /proc.
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

}  // namespace kcs::kit::detail
