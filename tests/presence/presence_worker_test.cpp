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
  std::string file(std::string_view name) const { return (path_ / name).string(); }
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

  // A byte that is not UTF-8 is read as U+FFFD; its line still counts.
  writeFile(log, "Parsed owned SMSG_CHAR_ENUM \xC3\n", true);
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.readOffset, 83u);
  EXPECT_EQ(worker.current, PresenceState::menus());

  // Truncated below the offset: read again from the start, on top of the current state.
  writeFile(log, "x\n");
  tickPresenceWorker(worker);
  EXPECT_EQ(worker.readOffset, 2u);
  EXPECT_EQ(worker.current, PresenceState::menus());

  EXPECT_TRUE(consoleLines.empty()) << consoleLines.front();
  EXPECT_FALSE(worker.client.has_value());
}

// The proxy writes what it likes: bytes of a legacy code page, characters and lines cut by its
// buffering. Each step appends to the log and runs one tick.
TEST(PresenceWorker, BadBytesAreReadPastAndUnfinishedTextIsReadAgain) {
  TempDir dir;
  PresenceWorker worker = offlineWorker(dir);
  const std::string log = dir.file(kProxyLogFileName);
  worker.state->presenceSession.replace({platform::currentProcessId(), 0});
  const std::string longLine = std::string(70000, 'e') + " Parsed owned SMSG_CHAR_ENUM ";
  struct Step {
    const char* name;
    std::string appended;
    PresenceState expected;
    std::uint64_t heldBack;  // bytes at the end of the log that the next tick reads again
  };
  const Step steps[] = {
      {"invalid bytes, then a marker line with some", "caf\xE9 \xFF\xFE\nx Rewrote CMSG_CHAR_CREATE \xC0\xAF\n",
       PresenceState::creating(), 0},
      {"unfinished line: scanned, held back", "preview=000C3D000000 caf\xC3", PresenceState::playing(kNow),
       25},
      {"its end: the whole line again, state kept", "\xA9 ok\n", PresenceState::playing(kNow), 0},
      {"first half of a marker", "x Rewrote CMSG_CHA", PresenceState::playing(kNow), 18},
      {"second half", "R_CREATE\n", PresenceState::creating(), 0},
      {"a line past 64 KiB is taken as it is, less a cut character", longLine + "\xF0\x9F\x98",
       PresenceState::menus(), 3},
      {"its rest is a line of its own", "\x80 preview=00083D000000\n", PresenceState::playing(kNow),
       0},
  };
  std::uint64_t size = 0;
  for (const Step& step : steps) {
    writeFile(log, step.appended, true);
    size += step.appended.size();
    tickPresenceWorker(worker);
    EXPECT_EQ(worker.current, step.expected) << step.name;
    EXPECT_EQ(worker.readOffset, size - step.heldBack) << step.name;
  }
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

TEST(ProxyLogReader, ReadsExactlyTheGivenRange) {
  TempDir dir;
  const std::string path = dir.file("log");
  writeFile(path, "0123456789abcdef");
  Result<platform::File> file = platform::openSharedForReading(path);
  ASSERT_TRUE(file.ok()) << file.error();
  struct Case {
    std::uint64_t begin;
    std::size_t length;
    const char* expected;  // nullptr: fails, the file ends sooner
  };
  const Case cases[] = {{0, 16, "0123456789abcdef"}, {3, 4, "3456"}, {10, 0, ""},
                        {12, 88, nullptr},           {20, 1, nullptr}};
  for (const Case& c : cases) {
    std::string bytes(c.length, '?');
    Status read = readFileRange(*file, c.begin, bytes.data(), c.length);
    EXPECT_EQ(read.ok(), c.expected != nullptr) << c.begin << "+" << c.length;
    if (read.ok() && c.expected) {
      EXPECT_EQ(bytes, c.expected) << c.begin << "+" << c.length;
    }
  }
}

TEST(ProxyLogReader, OffsetMovesPastWhatWasScannedExceptForUnfinishedText) {
  TempDir dir;
  std::uint64_t offset = 5;
  EXPECT_FALSE(scanNewLogText(dir.file("missing.log"), PresenceState::menus(), offset, fixedClock).ok());
  EXPECT_EQ(offset, 5u);

  writeFile(dir.file("cut.log"), "ok line\n\xF0\x9F\x98");  // a cut four-byte sequence
  struct Case {
    std::uint64_t offset, expectedOffset;
  };
  // Shorter than the offset: read again from 0, up to the unfinished line.
  for (const Case& c : {Case{3, 8}, Case{8, 8}, Case{11, 11}, Case{100, 8}}) {
    offset = c.offset;
    Result<PresenceState> scanned =
        scanNewLogText(dir.file("cut.log"), PresenceState::creating(), offset, fixedClock);
    ASSERT_TRUE(scanned.ok()) << scanned.error();
    EXPECT_EQ(*scanned, PresenceState::creating());
    EXPECT_EQ(offset, c.expectedOffset) << "from " << c.offset;
  }
}

// An unfinished last line of up to 64 KiB is held back whole, to be read again once complete; one
// byte longer and it is taken as it stands. The line may start the new text or follow a line feed.
TEST(ProxyLogReader, AnUnfinishedLineIsHeldBackUpTo64KiB) {
  TempDir dir;
  const std::string path = dir.file("long.log");
  struct Case {
    std::string before;
    std::size_t lineBytes;
    bool heldBack;
  };
  const Case cases[] = {{"", 65536, true}, {"", 65537, false}, {"x\n", 65536, true}, {"x\n", 65537, false}};
  for (const Case& c : cases) {
    writeFile(path, c.before + std::string(c.lineBytes, 'a'));
    std::uint64_t offset = 0;
    ASSERT_TRUE(scanNewLogText(path, PresenceState::menus(), offset, fixedClock).ok());
    EXPECT_EQ(offset, c.before.size() + (c.heldBack ? 0 : c.lineBytes))
        << c.before.size() << " + " << c.lineBytes;
  }
}

// The backward read in pieces against a plain pass over the whole file: logs much longer than a
// piece, with lines longer than a piece, and markers on both sides of piece borders.
TEST(ProxyLogReader, ReadingInPiecesGivesTheWholeTextsResult) {
  TempDir dir;
  const std::string path = dir.file("big.log");
  const std::string piecePadding(kLogPieceBytes - 10, 'p');
  struct Case {
    const char* name;
    std::string text;
    PresenceState expected;
  };
  const Case cases[] = {
      {"marker before megabytes of plain lines", "Rewrote CMSG_CHAR_CREATE\n" + std::string(3 * kLogPieceBytes, '\n'),
       PresenceState::creating()},
      {"marker across a piece border", "Parsed owned SMSG_CHAR_ENUM\n" + piecePadding +
       "preview=000C36000000\n" + piecePadding, PresenceState::creating()},
      {"line longer than two pieces, markers at its two ends",
       "preview=000C3D000000\npreview=00083D000000 " + std::string(2 * kLogPieceBytes, 'x') +
       " Rewrote CMSG_CHAR_CREATE\n", PresenceState::creating()},
      {"play restarted megabytes earlier", "Parsed owned SMSG_CHAR_ENUM\n" + piecePadding +
       piecePadding + "preview=000C3D000000\n", PresenceState::playing(kNow)},
  };
  for (const Case& c : cases) {
    writeFile(path, c.text);
    std::uint64_t offset = 0;
    Result<PresenceState> scanned = scanNewLogText(path, PresenceState::playing(42), offset, fixedClock);
    ASSERT_TRUE(scanned.ok()) << scanned.error();
    EXPECT_EQ(*scanned, c.expected) << c.name;
    EXPECT_EQ(*scanned, scanProxyLog(PresenceState::playing(42), c.text, fixedClock)) << c.name;
    EXPECT_EQ(offset, c.text.size()) << c.name;
  }
}

}  // namespace
}  // namespace kcs
