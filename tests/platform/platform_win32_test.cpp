// The Windows platform layer against the real system (or Wine): paths, files with share modes,
// sockets, named pipes, standard streams, processes, threads and time.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "discord_ipc/ipc_listener.h"
#include "platform/platform.h"
#include "platform/utf16.h"
#include "presence/presence_worker.h"

namespace kcs::platform {
namespace {

using Clock = std::chrono::steady_clock;

std::wstring wide(const std::string& utf8) {
  std::u16string w = utf8ToUtf16(utf8).value();
  return std::wstring(w.begin(), w.end());
}

// A file in the temporary folder, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& leaf) {
    wchar_t dir[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, dir);
    path_ = utf16ToGeneralizedUtf8(std::u16string_view(reinterpret_cast<char16_t*>(dir), length)) +
            std::to_string(::GetCurrentProcessId()) + "-" + leaf;
  }
  ~TempFile() { ::DeleteFileW(wide(path_).c_str()); }
  const std::string& path() const { return path_; }

  // Opens for appending the way a log writer does, letting readers in.
  HANDLE openWriter() const {
    return ::CreateFileW(wide(path_).c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

 private:
  std::string path_;
};

void append(HANDLE writer, const std::string& bytes) {
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::string readAll(File& file) {
  std::string text;
  char chunk[7];  // small on purpose: several reads per file
  for (;;) {
    Result<std::size_t> n = readFile(file, chunk, sizeof(chunk));
    if (!n.ok() || *n == 0) return text;
    text.append(chunk, *n);
  }
}

TEST(JoinPathWin32, BackslashUnlessEmptySeparatorOrDrive) {
  struct Case {
    const char* dir;
    const char* joined;
  } cases[] = {
      {"", "KorvessaAuthProxy.log"},
      {"C:\\Games\\Korvessa", "C:\\Games\\Korvessa\\KorvessaAuthProxy.log"},
      {"C:\\Games\\Korvessa\\", "C:\\Games\\Korvessa\\KorvessaAuthProxy.log"},
      {"C:/Games/Korvessa/", "C:/Games/Korvessa/KorvessaAuthProxy.log"},
      {"C:/Games/Korvessa", "C:/Games/Korvessa\\KorvessaAuthProxy.log"},
      {"C:", "C:KorvessaAuthProxy.log"},
      {"z:", "z:KorvessaAuthProxy.log"},
      {"C:\\", "C:\\KorvessaAuthProxy.log"},
      {"1:", "1:\\KorvessaAuthProxy.log"},
      {"CC:", "CC:\\KorvessaAuthProxy.log"},
      {"\\\\server\\share", "\\\\server\\share\\KorvessaAuthProxy.log"},
      {"Korvessa", "Korvessa\\KorvessaAuthProxy.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(joinPath(c.dir, "KorvessaAuthProxy.log"), c.joined);
  }
}

// The proxy appends to, rotates and deletes its log while the service reads it; the reader's
// share mode must allow all of that, and a wide (non-ASCII) path must open the same file.
TEST(FilesWin32, SharedReaderLetsTheWriterAppendAndDelete) {
  TempFile log("Korv\xC3\xA9ssa-\xE3\x83\xAD\xE3\x82\xB0.log");
  HANDLE writer = log.openWriter();
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  append(writer, "first line\n");

  Result<File> reader = openSharedForReading(log.path());
  ASSERT_TRUE(reader.ok()) << reader.error();
  append(writer, "second line\n");
  EXPECT_EQ(fileSize(*reader).value(), 23u);
  ASSERT_TRUE(seekTo(*reader, 11).ok());
  EXPECT_EQ(readAll(*reader), "second line\n");
  ASSERT_TRUE(seekTo(*reader, 0).ok());
  EXPECT_EQ(readAll(*reader), "first line\nsecond line\n");
  ASSERT_TRUE(seekTo(*reader, 1000).ok());  // beyond the end reads nothing
  EXPECT_EQ(readAll(*reader), "");
  EXPECT_FALSE(seekTo(*reader, ~std::uint64_t{0}).ok());

  EXPECT_TRUE(::DeleteFileW(wide(log.path()).c_str())) << ::GetLastError();
  ::CloseHandle(writer);
}

TEST(FilesWin32, FailuresCarryAOneLineSystemText) {
  const std::string missing[] = {
      "C:\\kcs-surely-missing-folder\\KorvessaAuthProxy.log",
      std::string("bad\xFFname.log"),             // not UTF-8: refused, not guessed at
      std::string("C:\\x\0y.log", 11),            // an embedded NUL would cut the name short
  };
  for (const std::string& path : missing) {
    Result<File> opened = openSharedForReading(path);
    ASSERT_FALSE(opened.ok());
    EXPECT_FALSE(opened.error().empty());
    EXPECT_EQ(opened.error().find_first_of("\r\n"), std::string::npos) << opened.error();
  }
}

TEST(SocketsWin32, NonBlockingListenerHandsOutBlockingConnections) {
  ASSERT_TRUE(initSocketLibrary().ok());
  Result<Socket> listener = bindLoopbackListener(128);
  ASSERT_TRUE(listener.ok()) << listener.error();
  ASSERT_TRUE(setNonBlocking(*listener, true).ok());
  Result<std::string> address = localAddress(*listener);
  ASSERT_TRUE(address.ok()) << address.error();
  ASSERT_EQ(address->rfind("127.0.0.1:", 0), 0u) << *address;
  const int port = std::stoi(address->substr(10));
  ASSERT_GT(port, 0);

  EXPECT_EQ(acceptConnection(*listener).kind, AcceptResult::Kind::WouldBlock);

  Result<Socket> client = connectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(client.ok()) << client.error();
  AcceptResult accepted;
  for (int tries = 0; tries < 500; ++tries) {
    accepted = acceptConnection(*listener);
    if (accepted.kind != AcceptResult::Kind::WouldBlock) break;
    sleepMilliseconds(10);
  }
  ASSERT_EQ(accepted.kind, AcceptResult::Kind::Accepted) << accepted.error;

  // Blocking with a time-out: a silent peer makes the read wait and then fail, not fail at once
  // with "would block" as a non-blocking socket inherited from the listener would.
  ASSERT_TRUE(setReceiveTimeout(accepted.connection, 300).ok());
  char buffer[16];
  const auto started = Clock::now();
  ReceiveResult silent = receive(accepted.connection, buffer, sizeof(buffer));
  EXPECT_EQ(silent.kind, ReceiveResult::Kind::Failed);
  EXPECT_FALSE(silent.error.empty());
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(200));

  // Not inherited by child processes.
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(reinterpret_cast<HANDLE>(listener->get()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(SocketsWin32, DataThenShutdownReadsAsClosed) {
  Result<Socket> listener = bindLoopbackListener(128);
  ASSERT_TRUE(listener.ok()) << listener.error();
  const int port = std::stoi(localAddress(*listener)->substr(10));
  Result<Socket> client = connectLoopback(static_cast<std::uint16_t>(port));
  ASSERT_TRUE(client.ok()) << client.error();
  AcceptResult accepted = acceptConnection(*listener);  // still blocking: waits for the client
  ASSERT_EQ(accepted.kind, AcceptResult::Kind::Accepted) << accepted.error;
  ASSERT_TRUE(setReceiveTimeout(accepted.connection, 5000).ok());

  const std::string request = "GET /health HTTP/1.1\r\n\r\n";
  EXPECT_EQ(send(*client, request.data(), request.size()).value(), request.size());
  ASSERT_TRUE(shutdownSending(*client).ok());
  std::string got;
  char buffer[8];
  ReceiveResult r;
  while ((r = receive(accepted.connection, buffer, sizeof(buffer))).kind == ReceiveResult::Kind::Data) {
    got.append(buffer, r.size);
  }
  EXPECT_EQ(r.kind, ReceiveResult::Kind::Closed) << r.error;
  EXPECT_EQ(got, request);
}

TEST(NamedPipesWin32, OpeningAnAbsentPipeFails) {
  Result<IpcChannel> absent = openDiscordIpc(8);
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().find_first_of("\r\n"), std::string::npos);
}

// A pipe is not a console: it must receive the UTF-8 bytes as given, ill-formed ones included,
// for the launcher reads them as UTF-8.
TEST(StandardStreamsWin32, PipeReceivesTheBytesUnchanged) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16));
  const HANDLE saved = ::GetStdHandle(STD_ERROR_HANDLE);
  ASSERT_TRUE(::SetStdHandle(STD_ERROR_HANDLE, writeEnd));
  const std::string text = "D\xC3\xBCsseldorf \xE2\x82\xAC \xF0\x9F\x8E\xAE \xFF\n";
  const Status written = writeStandardError(text);
  ::SetStdHandle(STD_ERROR_HANDLE, saved);
  ::CloseHandle(writeEnd);
  ASSERT_TRUE(written.ok()) << written.error();
  std::string got;
  char chunk[64];
  DWORD n = 0;
  while (::ReadFile(readEnd, chunk, sizeof(chunk), &n, nullptr) && n > 0) got.append(chunk, n);
  ::CloseHandle(readEnd);
  EXPECT_EQ(got, text);
}

// A launcher that starts the service without a console (DETACHED_PROCESS) and redirects only
// input and output leaves it no standard error at all; a handle may also refuse every write.
// Wine hands a child a working standard error, so the handle is swapped here. The line is lost,
// and presence goes on: the frames reach the pipe.
TEST(StandardStreamsWin32, PresenceGoesOnWhenStandardErrorFailsEveryWrite) {
  const HANDLE readOnly = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  const HANDLE saved = ::GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE failing : {static_cast<HANDLE>(nullptr), readOnly}) {
    Result<ipc::IpcListener> listener = ipc::listenIpc(discordIpcName(6));
    ASSERT_TRUE(listener.ok()) << listener.error();
    PresenceWorker worker = makePresenceWorker("C:\\nonexistent", std::make_shared<SharedState>("t"));
    worker.openEndpoint = [](unsigned index) -> Result<IpcChannel> {
      if (index != 0) return fail("not here");
      return openDiscordIpc(6);
    };
    worker.state->presenceSession.replace({currentProcessId(), 0});

    ASSERT_TRUE(::SetStdHandle(STD_ERROR_HANDLE, failing));
    const Status written = writeStandardError("lost\n");
    EXPECT_NO_THROW(tickPresenceWorker(worker));  // connects, then shows the menus
    ::SetStdHandle(STD_ERROR_HANDLE, saved);
    EXPECT_FALSE(written.ok());
    ASSERT_TRUE(worker.client.has_value());
    // Accepted while the worker is still connected: a client that has gone is not handed out.
    Result<IpcChannel> served = ipc::acceptIpc(*listener);
    ASSERT_TRUE(served.ok()) << served.error();
    worker.client.reset();  // the end of the stream for the reader below
    std::string got;
    char chunk[512];
    for (Result<std::size_t> n = readIpc(*served, chunk, sizeof(chunk)); n.ok() && *n > 0;
         n = readIpc(*served, chunk, sizeof(chunk))) {
      got.append(chunk, *n);
    }
    // The handshake (opcode 0) and one command (opcode 1) behind it.
    ASSERT_GE(got.size(), 8u);
    EXPECT_EQ(got[0], '\0');
    const std::size_t next = 8 + static_cast<unsigned char>(got[4]);
    ASSERT_GT(got.size(), next + 8);
    EXPECT_EQ(got[next], '\1');
    EXPECT_NE(got.find("In the menus"), std::string::npos);
  }
  ::CloseHandle(readOnly);
}

TEST(ProcessesWin32, OwnProcessExistsAndZeroNever) {
  EXPECT_TRUE(processExists(currentProcessId()));
  EXPECT_EQ(currentProcessId(), ::GetCurrentProcessId());
  EXPECT_FALSE(processExists(0));
  EXPECT_FALSE(processExists(0xFFFFFFFCu));
}

TEST(ThreadsWin32, DetachedThreadRunsWithATwoMebibyteStack) {
  std::atomic<bool> ran{false};
  std::atomic<ULONG_PTR> stackBytes{0};
  ASSERT_TRUE(spawnDetachedThread([&] {
                ULONG_PTR low = 0, high = 0;
                ::GetCurrentThreadStackLimits(&low, &high);
                stackBytes = high - low;
                ran = true;
              }).ok());
  for (int waited = 0; !ran && waited < 10000; waited += 10) sleepMilliseconds(10);
  ASSERT_TRUE(ran);
  EXPECT_GE(stackBytes.load(), 2u * 1024 * 1024);
}

TEST(TimeWin32, UnixSecondsMatchTheRuntimeClock) {
  const std::uint64_t ours = unixTimeSeconds();
  const auto runtime = static_cast<std::uint64_t>(std::time(nullptr));
  EXPECT_LE(ours > runtime ? ours - runtime : runtime - ours, 2u);
}

}  // namespace
}  // namespace kcs::platform
