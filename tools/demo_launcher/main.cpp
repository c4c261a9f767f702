// demo-launcher: plays one whole launcher session against korvessa-client-services and shows it
// as a timeline. Started again by itself with --stand-in, it is the launcher and game stand-in.
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/decimal.h"
#include "korvessa/launcher_kit/program_path.h"
#include "platform/platform.h"
#include "session.h"

namespace {

namespace fs = std::filesystem;
namespace platform = kcs::platform;

constexpr const char* kUsage =
    "usage: demo-launcher [--fast] [--real-discord] [--service PATH] [--tools-dir DIR]\n"
    "  --fast             short fixed pauses (about five seconds in all) instead of ones paced for\n"
    "                     reading; --non-interactive is the older name. Neither mode asks for input;\n"
    "                     the status is 0 only when every step checked out\n"
    "  --real-discord     show the activity in your own running Discord instead of the stand-in\n"
    "  --service PATH     the korvessa-client-services executable (default: next to this program\n"
    "                     or one folder up)\n"
    "  --tools-dir DIR    where discord-standin lies (default: this program's folder)\n";

[[noreturn]] void usageError(const std::string& sentence) {
  (void)platform::writeStandardError(sentence + "\n" + kUsage);
  platform::exitProcess(2);
}

// The first of name or name.exe in dir that exists.
std::optional<fs::path> findProgram(const fs::path& dir, const std::string& name) {
  for (const std::string& candidate : {name, name + ".exe"}) {
    std::error_code error;
    fs::path path = dir / candidate;
    if (fs::is_regular_file(path, error)) return path;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  platform::initProcess();
  const std::vector<std::string> args(argv + 1, argv + argc);

  // Hidden mode: a stand-in process that only has to exist (the launcher's or the game's pid).
  if (!args.empty() && args[0] == "--stand-in") {
    std::optional<std::uint64_t> watch =
        args.size() > 1 ? kcs::parseUnsignedDecimal(args[1], 0xffffffffu) : std::nullopt;
    platform::exitProcess(kcs::demo::runStandIn(watch ? static_cast<unsigned>(*watch) : 0));
  }

  kcs::demo::DemoOptions options;
  // This program's own path, to start itself again as a stand-in; argv[0] where the system
  // cannot say.
  options.selfPath = kcs::kit::detail::currentProgramPath();
  if (options.selfPath.empty() && argc > 0) options.selfPath = argv[0];
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--fast" || arg == "--non-interactive") {
      options.fast = true;
    } else if (arg == "--real-discord") {
      options.realDiscord = true;
    } else if (arg == "--service" && hasValue) {
      options.servicePath = args[++i];
    } else if (arg == "--tools-dir" && hasValue) {
      options.toolsDir = args[++i];
    } else if (arg == "--help" || arg == "-h") {
      (void)platform::writeStandardOutput(kUsage);
      platform::exitProcess(0);
    } else {
      usageError("Unknown or incomplete option " + arg + ".");
    }
  }

  // Defaults: the build tree keeps the demo in tools/ below the service; an installation keeps
  // both in bin/.
  const fs::path selfDir = fs::path(options.selfPath).parent_path();
  if (options.servicePath.empty()) {
    std::optional<fs::path> found = findProgram(selfDir, "korvessa-client-services");
    if (!found) found = findProgram(selfDir.parent_path(), "korvessa-client-services");
    if (!found) {
      usageError("No korvessa-client-services found next to the demo; give its path with --service.");
    }
    options.servicePath = found->string();
  }
  if (options.toolsDir.empty()) options.toolsDir = selfDir.empty() ? "." : selfDir.string();

  platform::exitProcess(kcs::demo::runDemo(options));
}
