#include <gtest/gtest.h>

#include <filesystem>

#include "presence/proxy_log_reader.h"

namespace kcs {
namespace {

std::uint64_t fixedClock() { return 1700000000; }

// A sysfs attribute claims 4096 bytes and holds a few: the read fails after the size was taken.
// A drop of the offset to 0 for a file shorter than it holds all the same, so nothing before the
// old offset is skipped once the file grows past it again.
TEST(ProxyLogReader, DropAfterTruncationHoldsWhenTheReadFails) {
  const char* path = "/sys/devices/system/cpu/online";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is missing";
  std::uint64_t offset = 1u << 20;
  EXPECT_FALSE(scanNewLogText(path, PresenceState::menus(), offset, fixedClock).ok());
  EXPECT_EQ(offset, 0u);
}

}  // namespace
}  // namespace kcs
