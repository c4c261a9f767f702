#include "presence/presence_worker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "presence/proxy_log_reader.h"

namespace kcs {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kGonePid = 0xFFFFFFF0u;  // never a live process
constexpr std::uint64_t kNow = 1700000000;

std::uint64_t fixedClock() { return kNow; }

std::vector<std::string> consoleLines;
Status captureLine(std::string_view line) {
  consoleLines.emplace_back(line);
  return Status::success();
}

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            ("kcs-presence-" + std::to_string(platform::currentProcessId()) + "-" + info->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const char* name) const { return (path_ / name).string(); }
  std::string dir() const { return path_.string(); }

 private:
  fs::path path_;
};

void writeFile(const std::string& path, const std::string& bytes, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << bytes;
}

PresenceWorker offlineWorker(const TempDir& dir) {
  PresenceWorker worker = makePresenceWorker(dir.dir(), std::make_shared<SharedState>("t"));
  worker.clock = fixedClock;
  worker.openEndpoint = [](unsigned) -> Result<platform::IpcChannel> { return fail("no Discord"); };
  worker.writeLine = captureLine;
  consoleLines.clear();
  return worker;
}

TEST(PresenceWorker, FollowsTheLogWithoutDiscord) {
  TempDir dir;
  PresenceWorker worker = offlineWorker(dir);
  const std::string log = dir.file(kProxyLogFileName);
  const std::uint32_t game = platform::currentProcessId();
  worker.state->presenceSession.replace({game, 0});

  tickPresenceWorker(worker);  // no log yet: Menus, nothing read
  EXPECT_EQ(worker.followedPid, game);
  EXPECT_EQ(worker.current, PresenceState::menus());
  EXPECT_EQ(worker.readOffset, 0u);

  writeFile(log, "noise\nRewrote CMSG_CHAR_CREATE\r\n");
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.current, PresenceState::creating());
  EXPECT_EQ(worker.readOffset, 32u);

  writeFile(log, "preview=000C3D000000\n", true);
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.current, PresenceState::playing(kNow));
  EXPECT_EQ(worker.readOffset, 53u);

  // Bytes that are not UTF-8 hold the offset until they are fixed; nothing is scanned.
  writeFile(log, "Parsed owned SMSG_CHAR_ENUM \xC3\n", true);
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.readOffset, 53u);
  EXPECT_EQ(worker.current, PresenceState::playing(kNow));

  // Truncated below the offset: read again from the start, on top of the current state.
  writeFile(log, "x\n");
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.readOffset, 2u);
  EXPECT_EQ(worker.current, PresenceState::playing(kNow));

  EXPECT_TRUE(consoleLines.empty()) << consoleLines.front();
  EXPECT_FALSE(worker.client.has_value());
}

TEST(PresenceWorker, OffsetBeyondTheLogReadsFromTheStart) {
  TempDir dir;
  PresenceWorker worker = offlineWorker(dir);
  writeFile(dir.file(kProxyLogFileName), "Rewrote CMSG_CHAR_CREATE\n");
  worker.state->presenceSession.replace({platform::currentProcessId(), 1u << 30});
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.current, PresenceState::creating());
  EXPECT_EQ(worker.readOffset, 25u);
}

TEST(PresenceWorker, LaterOffsetChangesForTheSamePidAreNotTakenUp) {
  TempDir dir;
  PresenceWorker worker = offlineWorker(dir);
  writeFile(dir.file(kProxyLogFileName), "Rewrote CMSG_CHAR_CREATE\n");
  const std::uint32_t game = platform::currentProcessId();
  worker.state->presenceSession.replace({game, 25});
  tickPresenceWorker(worker);
  worker.state->presenceSession.replace({game, 0});
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.current, PresenceState::menus());
  EXPECT_EQ(worker.readOffset, 25u);
}

// The probe below stands for the HTTP side storing a new session while the worker finds the
// old game gone.
bool goneWhileAnotherIsStored(std::uint32_t) { return false; }
std::shared_ptr<SharedState> racingState;
bool goneAndReplacedMeanwhile(std::uint32_t) {
  racingState->presenceSession.replace({4242, 7});
  return false;
}

TEST(PresenceWorker, AGoneGameEmptiesOnlyItsOwnSession) {
  struct Case {
    const char* name;
    bool (*probe)(std::uint32_t);
    std::optional<std::uint32_t> pidLeft;
  };
  const Case cases[] = {
      {"gone game is forgotten", goneWhileAnotherIsStored, std::nullopt},
      {"session stored meanwhile survives", goneAndReplacedMeanwhile, 4242u},
  };
  for (const Case& c : cases) {
    TempDir dir;
    PresenceWorker worker = offlineWorker(dir);
    racingState = worker.state;
    worker.gameAlive = c.probe;
    worker.followedPid = 99;
    worker.lastShown = PresenceState::menus();
    worker.state->presenceSession.replace({kGonePid, 0});
    tickPresenceWorker(worker);
    std::optional<PresenceSession> left = worker.state->presenceSession.copy();
    EXPECT_EQ(left ? std::optional<std::uint32_t>(left->pid) : std::nullopt, c.pidLeft) << c.name;
    EXPECT_EQ(worker.followedPid, 0u) << c.name;
    EXPECT_FALSE(worker.lastShown.has_value()) << c.name;
    racingState.reset();
  }
}

TEST(ProxyLogReader, ReadsOnlyUpToTheGivenEnd) {
  TempDir dir;
  const std::string path = dir.file("log");
  writeFile(path, "0123456789abcdef");
  Result<platform::File> file = platform::openSharedForReading(path);
  ASSERT_TRUE(file.ok()) << file.error();
  struct Case {
    std::uint64_t begin, end;
    const char* expected;
  };
  const Case cases[] = {{0, 16, "0123456789abcdef"}, {3, 7, "3456"}, {10, 10, ""},
                        {12, 100, "cdef"},           {9, 3, ""}};
  for (const Case& c : cases) {
    Result<std::string> bytes = readFileRange(*file, c.begin, c.end);
    ASSERT_TRUE(bytes.ok()) << bytes.error();
    EXPECT_EQ(*bytes, c.expected) << c.begin << ".." << c.end;
  }
}

TEST(ProxyLogReader, OffsetMovesOnlyWithWhatWasReadExceptForATruncation) {
  TempDir dir;
  std::uint64_t offset = 5;
  EXPECT_FALSE(readNewLogText(dir.file("missing.log"), offset).ok());
  EXPECT_EQ(offset, 5u);

  writeFile(dir.file("bad.log"), "ok line\n\xF0\x9F\x98");  // a cut four-byte sequence
  offset = 3;
  EXPECT_FALSE(readNewLogText(dir.file("bad.log"), offset).ok());
  EXPECT_EQ(offset, 3u);  // the same bytes are tried again
  // Shorter than the offset and invalid: the drop to 0 holds, so nothing before it is skipped
  // once the file grows past the old offset again.
  offset = 100;
  EXPECT_FALSE(readNewLogText(dir.file("bad.log"), offset).ok());
  EXPECT_EQ(offset, 0u);

  writeFile(dir.file("good.log"), "first\nsecond\n");
  offset = 6;
  Result<std::string> text = readNewLogText(dir.file("good.log"), offset);
  ASSERT_TRUE(text.ok()) << text.error();
  EXPECT_EQ(*text, "second\n");
  EXPECT_EQ(offset, 13u);
}

}  // namespace
}  // namespace kcs
