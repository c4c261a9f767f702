// The files a launcher asks the kit about: the service beside it, the proxy log in the game's
// folder.
#include <filesystem>
#include <string>
#include <system_error>

#include "korvessa/launcher_kit/program_path.h"
#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit {
namespace {

namespace fs = std::filesystem;

// A UTF-8 path as the system's own (on Windows a std::string would be read in the ANSI code
// page). Throws on text that is not valid UTF-8 where the system converts.
fs::path utf8Path(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

std::string defaultServicePath() {
#ifdef _WIN32
  const std::string name = "korvessa-client-services.exe";
#else
  const std::string name = "korvessa-client-services";
#endif
  const std::string program = detail::currentProgramPath();
  if (program.empty()) return name;
  try {
    const std::u8string path = (utf8Path(program).parent_path() / name).u8string();
    return std::string(path.begin(), path.end());
  } catch (const std::exception&) {
    return name;
  }
}

Result<std::uint64_t> proxyLogOffset(const std::string& clientDir) {
  fs::path log;
  try {
    log = utf8Path(clientDir) / fs::path(std::string(kProxyLogFileName));
  } catch (const std::exception&) {
    return refuse("clientDir", "is not valid UTF-8");
  }
  std::error_code error;
  const std::uintmax_t size = fs::file_size(log, error);
  if (!error) return static_cast<std::uint64_t>(size);
  // No log yet (or no folder, or something else by that name): the game's lines start at 0.
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
      error == std::errc::is_a_directory) {
    return std::uint64_t{0};
  }
  return fail("cannot read the size of the proxy log in " + clientDir + ": " + error.message());
}

}  // namespace kcs::kit
