#include "lifecycle/launcher_config.h"

#include <utility>
#include <vector>

#include "common/record_fields.h"
#include "common/utf8.h"
#include "korvessa/launcher_kit/protocol.h"
#include "platform/platform.h"

namespace kcs {
namespace {

constexpr std::size_t kMinimumTokenBytes = 32;

constexpr auto kConfigSpecs = fieldSpecs(protocol::kConfigurationFields);

}  // namespace

Result<Config> parseLauncherConfig(std::string_view line) {
  if (!isValidUtf8(line)) {
    return fail("failed reading launcher configuration: stream did not contain valid UTF-8");
  }
  // Unicode white space around the value goes (the line feed and a carriage return before it
  // included); between the value's tokens only JSON white space is allowed.
  const std::string_view text = trimUnicodeWhiteSpace(line);
  Result<std::vector<FieldValue>> fields = readRecord(text, {"Config", kConfigSpecs});
  if (!fields.ok()) return fail("invalid launcher configuration: " + fields.error());

  Config config = recordFrom<Config>(*fields, protocol::kConfigurationFields);
  if (config.token.size() < kMinimumTokenBytes) return fail("launcher configuration is incomplete");
  return config;
}

Result<Config> readLauncherConfig() {
  Result<std::string> line = platform::readStandardInputLine();
  if (!line.ok()) return fail("failed reading launcher configuration: " + line.error());
  return parseLauncherConfig(*line);
}

}  // namespace kcs
