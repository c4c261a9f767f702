#include "lifecycle/command_line.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "common/decimal.h"
#include "common/utf8.h"

namespace kcs {
namespace {

CommandLine failure(CommandLine::Action action, std::string message) {
  CommandLine result;
  result.action = action;
  result.message = std::move(message);
  return result;
}

// Only the arguments that get looked at must be text; later ones are never read.
std::optional<CommandLine> checkText(const std::vector<std::string>& arguments, std::size_t index,
                                     const char* role) {
  if (isValidUtf8(arguments[index])) return std::nullopt;
  return failure(CommandLine::Action::Fatal,
                 std::string(role) + " (argument " + std::to_string(index) + ") is not valid UTF-8");
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  if (!arguments.empty()) {
    if (auto bad = checkText(arguments, 0, "program name")) return *bad;
  }
  if (arguments.size() < 2) return failure(CommandLine::Action::Fail, "missing --launcher-pid");
  if (auto bad = checkText(arguments, 1, "first argument")) return *bad;

  const std::string& option = arguments[1];
  if (option == "--help" || option == "-h") return failure(CommandLine::Action::ShowHelp, "");
  if (option != "--launcher-pid") {
    return failure(CommandLine::Action::Fail, "unknown argument: " + option);
  }

  if (arguments.size() < 3) {
    return failure(CommandLine::Action::Fail, "--launcher-pid requires a value");
  }
  if (auto bad = checkText(arguments, 2, "launcher pid")) return *bad;
  const std::optional<std::uint64_t> pid =
      parseUnsignedDecimal(arguments[2], std::numeric_limits<std::uint32_t>::max());
  if (!pid) return failure(CommandLine::Action::Fail, "invalid launcher pid");

  CommandLine result;
  result.action = CommandLine::Action::Serve;
  result.launcherPid = static_cast<std::uint32_t>(*pid);
  return result;
}

}  // namespace kcs
