// End to end on Windows: the service started the way a launcher starts it, beside a launcher
// stand-in and a game stand-in (this program started again with --stand-in), with a Discord
// stand-in serving "\\.\pipe\discord-ipc-0" and a proxy log that the test writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discord_ipc/ipc_listener.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/raw_exchange.h"
#include "platform/platform.h"
#include "platform/utf16.h"

namespace kcs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kWaitMs = 15000;  // generous: Wine starts processes slowly
const std::string kToken = "windows-e2e-token-0123456789abcdef";
const std::string kUsage = "korvessa-client-services --launcher-pid <pid>\n";

std::wstring wide(const std::string& utf8) {
  std::u16string w = platform::utf8ToUtf16(utf8).value();
  return std::wstring(w.begin(), w.end());
}

std::string narrow(const std::wstring& text) {
  return platform::utf16ToGeneralizedUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::string selfPath() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return narrow(path);
}

// The text read, or fallback when the read failed (a time-out, for one).
std::string orText(const kit::Result<std::string>& read, const std::string& fallback) {
  return read.ok() ? *read : fallback;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string configLine(const std::string& clientDir) {
  return "{\"token\":\"" + kToken + "\",\"clientDir\":" + jsonString(clientDir) + "}\n";
}

// A process that lives until its standard input closes or it is ended: the launcher and the
// game as far as the service can tell (it only ever opens them by pid).
std::unique_ptr<kit::ChildProcess> startStandIn() {
  kit::ChildOptions options;
  options.pipeStdout = options.pipeStderr = false;
  auto child = kit::ChildProcess::start(selfPath(), {"--stand-in"}, options);
  EXPECT_TRUE(child.ok()) << child.error();
  return child.ok() ? std::move(child).value() : nullptr;
}

// The service beside launcher, given the configuration line for clientDir; nullptr when it could
// not be started. closeStderr: as a launcher that never reads it.
std::unique_ptr<kit::ChildProcess> startService(const kit::ChildProcess& launcher,
                                                const std::string& clientDir,
                                                bool closeStderr = false) {
  auto started = kit::ChildProcess::start(
      KCS_SERVICE_PATH, {"--launcher-pid", std::to_string(launcher.pid())});
  EXPECT_TRUE(started.ok()) << started.error();
  if (!started.ok()) return nullptr;
  if (closeStderr) (*started)->closeStderr();
  EXPECT_TRUE((*started)->writeStdin(configLine(clientDir)).ok());
  return std::move(started).value();
}

// A handle to a process held open by this test, as a launcher keeps the one CreateProcess gave it
// (or a parent keeps the launcher's): the process object outlives the process while it is held.
class HeldProcess {
 public:
  explicit HeldProcess(std::uint32_t pid)
      : handle_(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {}
  ~HeldProcess() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  HeldProcess(const HeldProcess&) = delete;
  HeldProcess& operator=(const HeldProcess&) = delete;
  bool ok() const { return handle_ != nullptr; }
  // The process behind the handle has ended (its exit code is no longer STILL_ACTIVE).
  bool ended() const {
    DWORD code = 0;
    return ::GetExitCodeProcess(handle_, &code) && code != STILL_ACTIVE;
  }

 private:
  HANDLE handle_;
};

// A folder under the temporary folder, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    path_ = narrow(std::wstring(base, length)) + "kcs-e2e-" +
            std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryW(wide(path_).c_str(), nullptr);
  }
  ~TempDir() {
    ::DeleteFileW(wide(file("KorvessaAuthProxy.log")).c_str());
    ::RemoveDirectoryW(wide(path_).c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// The game's proxy log, held open for appending the way the proxy holds it: readers may share
// it, writers may not.
class ProxyLog {
 public:
  explicit ProxyLog(const std::string& path)
      : handle_(::CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~ProxyLog() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool append(const std::string& line) {
    DWORD written = 0;
    return ::WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
  }

 private:
  HANDLE handle_;
};

struct Frame {
  std::uint32_t opcode = 0;
  std::string payload;
};

// Serves "\\.\pipe\discord-ipc-0": accepts one client and keeps every byte it writes.
class DiscordStandIn {
 public:
  DiscordStandIn() {
    Result<ipc::IpcListener> listener = ipc::listenIpc(platform::discordIpcName(0));
    if (!listener.ok()) {
      error_ = listener.error();
      return;
    }
    listener_ = std::move(listener).value();
    reader_ = std::thread([this] { serve(); });
  }

  ~DiscordStandIn() {
    if (!reader_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!connected_) {
        // Nobody came: be the client ourselves so the pending accept returns.
        (void)platform::openDiscordIpc(0);
      }
    }
    reader_.join();
  }

  const std::string& error() const { return error_; }

  // The n-th complete frame (from 0), waiting for it at most timeoutMs.
  std::optional<Frame> frame(std::size_t n, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Frame> found;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      found = parse(n);
      return found.has_value() || ended_;
    });
    if (!found) found = parse(n);
    return found;
  }

 private:
  void serve() {
    Result<platform::IpcChannel> channel = ipc::acceptIpc(listener_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = true;
    }
    char chunk[512];
    while (channel.ok()) {
      Result<std::size_t> got = platform::readIpc(*channel, chunk, sizeof(chunk));
      if (!got.ok() || *got == 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_.append(chunk, *got);
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  static std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
  }

  std::optional<Frame> parse(std::size_t n) const {
    std::size_t at = 0;
    for (std::size_t index = 0;; ++index) {
      if (bytes_.size() - at < 8) return std::nullopt;
      const std::uint32_t length = le32(bytes_, at + 4);
      if (bytes_.size() - at - 8 < length) return std::nullopt;
      if (index == n) return Frame{le32(bytes_, at), bytes_.substr(at + 8, length)};
      at += 8 + length;
    }
  }

  std::string error_;
  ipc::IpcListener listener_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string bytes_;
  bool connected_ = false;
  bool ended_ = false;
};

std::string menusPayload(std::uint32_t pid, int nonce) {
  return R"({"args":{"activity":{"details":"In the menus","instance":false,"state":"Duskmere","type":0},"pid":)" +
         std::to_string(pid) + R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-)" +
         std::to_string(nonce) + "\"}";
}

std::string creatingPayload(std::uint32_t pid, int nonce) {
  return R"({"args":{"activity":{"details":"Creating an Adventurer","instance":false,"state":"Duskmere","type":0},"pid":)" +
         std::to_string(pid) + R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-)" +
         std::to_string(nonce) + "\"}";
}

std::string clearPayload(std::uint32_t pid, int nonce) {
  return R"({"args":{"activity":null,"pid":)" + std::to_string(pid) +
         R"(},"cmd":"SET_ACTIVITY","nonce":"korvessa-)" + std::to_string(nonce) + "\"}";
}

std::string httpReply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\ncontent-type: application/json\r\ncontent-length: " +
         std::to_string(body.size()) + "\r\ncache-control: no-store\r\nconnection: close\r\n\r\n" +
         body;
}

std::string request(std::uint16_t port, const std::string& method, const std::string& path,
                    const std::string& body = "") {
  kit::HttpCall call;
  call.method = method;
  call.path = path;
  call.token = kToken;
  call.body = body;
  kit::Result<std::string> reply = kit::exchangeRaw(port, kit::formatRequest(call), kWaitMs);
  return reply.ok() ? *reply : "failed: " + reply.error();
}

// The road of one launch: address line, health, ticket hand-off, presence shown in Discord and
// cleared when the game ends, and a silent end with status 0 when the launcher goes; the last
// two while this test still holds the ended process open.
TEST(WindowsEndToEnd, OneLaunchFromStartToQuietEnd) {
  TempDir clientDir;
  ProxyLog log(clientDir.file("KorvessaAuthProxy.log"));
  ASSERT_TRUE(log.ok());
  ASSERT_TRUE(log.append("12:00:01 Parsed owned SMSG_CHAR_ENUM (3 characters)\r\n"));

  DiscordStandIn discord;
  ASSERT_EQ(discord.error(), "") << "is a Discord client running? it owns discord-ipc-0";
  std::unique_ptr<kit::ChildProcess> launcher = startStandIn();
  std::unique_ptr<kit::ChildProcess> game = startStandIn();
  ASSERT_TRUE(launcher && game);

  std::unique_ptr<kit::ChildProcess> service = startService(*launcher, clientDir.path());
  ASSERT_TRUE(service);

  kit::Result<std::string> address = service->readStdoutLine(kWaitMs);
  ASSERT_TRUE(address.ok()) << address.error() << "; stderr: "
                            << orText(service->readStderrToEnd(1000), "");
  ASSERT_EQ(address->rfind("http://127.0.0.1:", 0), 0u) << *address;
  kit::Result<std::uint16_t> port = kit::parseAnnouncedPort(*address);
  ASSERT_TRUE(port.ok()) << port.error();

  const std::string health = R"({"ok":true,"service":"korvessa-client-services"})";
  EXPECT_EQ(request(*port, "GET", "/health"), httpReply("200 OK", health));

  // The ticket is handed out exactly once.
  const std::string ticket =
      R"({"username":"ann","clientLogin":"!ann","ticket":"T-1","expiresAt":"2030-01-01T00:00:00Z","ttlSeconds":60})";
  EXPECT_EQ(request(*port, "PUT", "/launch/session", ticket), httpReply("204 No Content", ""));
  const std::string handedOut = request(*port, "GET", "/launch/session");
  EXPECT_EQ(handedOut.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << handedOut;
  for (const char* part : {"\"username\":\"ann\"", "\"ticket\":\"T-1\"", "\"ttlSeconds\":60"}) {
    EXPECT_NE(handedOut.find(part), std::string::npos) << part << " in " << handedOut;
  }
  EXPECT_EQ(request(*port, "GET", "/launch/session"),
            httpReply("404 Not Found", R"({"ok":false,"error":"no_launch_session"})"));

  // The game registers; the worker opens the Discord pipe, introduces itself and shows Menus.
  const std::uint32_t gamePid = game->pid();
  EXPECT_EQ(request(*port, "PUT", "/presence/session",
                    "{\"pid\":" + std::to_string(gamePid) + ",\"logOffset\":0}"),
            httpReply("204 No Content", ""));

  std::optional<Frame> handshake = discord.frame(0, kWaitMs);
  ASSERT_TRUE(handshake.has_value()) << "no handshake frame";
  EXPECT_EQ(handshake->opcode, 0u);
  EXPECT_EQ(handshake->payload,
            std::string(R"({"client_id":")") + KCS_DISCORD_APPLICATION_ID + R"(","v":1})");
  EXPECT_EQ(handshake->payload.size(), 41u);

  std::optional<Frame> menus = discord.frame(1, kWaitMs);
  ASSERT_TRUE(menus.has_value()) << "no Menus frame";
  EXPECT_EQ(menus->opcode, 1u);
  EXPECT_EQ(menus->payload, menusPayload(gamePid, 1));
  EXPECT_EQ(orText(service->readStderrLine(kWaitMs), ""),
            std::string("Discord IPC connected application=") + KCS_DISCORD_APPLICATION_ID + "\n");
  EXPECT_EQ(orText(service->readStderrLine(kWaitMs), ""),
            "Discord presence updated pid=" + std::to_string(gamePid) + " state=Menus\n");

  // The log grows while the proxy keeps it open: the next state follows, past a name the proxy
  // wrote in a legacy code page (not UTF-8).
  ASSERT_TRUE(log.append("12:00:05 realm=Duskm\xE8re\r\n"));
  ASSERT_TRUE(log.append("12:00:09 Rewrote CMSG_CHAR_CREATE race=4\r\n"));
  std::optional<Frame> creating = discord.frame(2, kWaitMs);
  ASSERT_TRUE(creating.has_value()) << "no Creating frame";
  EXPECT_EQ(creating->payload, creatingPayload(gamePid, 2));
  EXPECT_EQ(orText(service->readStderrLine(kWaitMs), ""),
            "Discord presence updated pid=" + std::to_string(gamePid) + " state=Creating\n");

  // The game ends while another program still holds its process: the activity is cleared for
  // its pid all the same.
  HeldProcess heldGame(gamePid);
  ASSERT_TRUE(heldGame.ok());
  game->kill();
  std::optional<Frame> clear = discord.frame(3, kWaitMs);
  ASSERT_TRUE(clear.has_value()) << "no clear frame";
  EXPECT_EQ(clear->opcode, 1u);
  EXPECT_EQ(clear->payload, clearPayload(gamePid, 3));
  EXPECT_TRUE(heldGame.ended());

  // The launcher ends, held the same way: the service ends by itself, status 0, having written
  // nothing more.
  HeldProcess heldLauncher(launcher->pid());
  ASSERT_TRUE(heldLauncher.ok());
  launcher->closeStdin();
  EXPECT_EQ(launcher->wait(kWaitMs), 0);
  EXPECT_EQ(service->wait(kWaitMs), 0);
  EXPECT_TRUE(heldLauncher.ended());
  EXPECT_EQ(orText(service->readStdoutToEnd(kWaitMs), "?"), "");
  EXPECT_EQ(orText(service->readStderrToEnd(kWaitMs), "?"), "");
}

// A launcher that stops reading the service's standard error before its first line: the lines
// are lost, presence goes on.
TEST(WindowsEndToEnd, PresenceGoesOnWithStandardErrorClosed) {
  TempDir clientDir;
  ProxyLog log(clientDir.file("KorvessaAuthProxy.log"));
  ASSERT_TRUE(log.ok());
  DiscordStandIn discord;
  ASSERT_EQ(discord.error(), "") << "is a Discord client running? it owns discord-ipc-0";
  std::unique_ptr<kit::ChildProcess> launcher = startStandIn();
  std::unique_ptr<kit::ChildProcess> game = startStandIn();
  ASSERT_TRUE(launcher && game);

  std::unique_ptr<kit::ChildProcess> service = startService(*launcher, clientDir.path(), true);
  ASSERT_TRUE(service);
  kit::Result<std::uint16_t> port =
      kit::parseAnnouncedPort(orText(service->readStdoutLine(kWaitMs), ""));
  ASSERT_TRUE(port.ok()) << port.error();

  const std::uint32_t gamePid = game->pid();
  EXPECT_EQ(request(*port, "PUT", "/presence/session",
                    "{\"pid\":" + std::to_string(gamePid) + ",\"logOffset\":0}"),
            httpReply("204 No Content", ""));
  ASSERT_TRUE(discord.frame(0, kWaitMs).has_value()) << "no handshake frame";
  std::optional<Frame> menus = discord.frame(1, kWaitMs);
  ASSERT_TRUE(menus.has_value()) << "no Menus frame";
  EXPECT_EQ(menus->payload, menusPayload(gamePid, 1));
  ASSERT_TRUE(log.append("12:00:09 Rewrote CMSG_CHAR_CREATE race=4\r\n"));
  std::optional<Frame> creating = discord.frame(2, kWaitMs);
  ASSERT_TRUE(creating.has_value()) << "no Creating frame";
  EXPECT_EQ(creating->payload, creatingPayload(gamePid, 2));
  EXPECT_FALSE(service->wait(0).has_value()) << "the service ended";

  game->kill();
  ASSERT_TRUE(discord.frame(3, kWaitMs).has_value()) << "no clear frame";
  launcher->closeStdin();
  EXPECT_EQ(service->wait(kWaitMs), 0);
}

// A client without the token costs no more than its head: a PUT announcing a huge body gets its
// 401 at once, also when part of the body is on its way, and a head that trickles in is cut at
// its 10 s deadline while other clients are served.
TEST(WindowsEndToEnd, HostileClientsAreRefusedOnTheirHeads) {
  std::unique_ptr<kit::ChildProcess> launcher = startStandIn();
  ASSERT_TRUE(launcher);
  std::unique_ptr<kit::ChildProcess> service = startService(*launcher, "C:\\nowhere");
  ASSERT_TRUE(service);
  kit::Result<std::string> address = service->readStdoutLine(kWaitMs);
  ASSERT_TRUE(address.ok()) << address.error();
  kit::Result<std::uint16_t> port = kit::parseAnnouncedPort(*address);
  ASSERT_TRUE(port.ok()) << port.error();

  // One byte of the head every 1.5 s: each read is inside its 2 s time-out.
  const Clock::time_point start = Clock::now();
  Result<platform::Socket> trickler = platform::connectLoopback(*port);
  ASSERT_TRUE(trickler.ok()) << trickler.error();
  ASSERT_TRUE(platform::setReceiveTimeout(*trickler, kWaitMs).ok());
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    const std::string head = "GET /health HTTP/1.1\r\nx-fill: " + std::string(40, 'a');
    for (std::size_t next = 0; next < head.size() && !stop.load(); ++next) {
      if (!platform::send(*trickler, &head[next], 1).ok()) return;
      ::Sleep(1500);
    }
  });

  const std::string unauthorized =
      httpReply("401 Unauthorized", R"({"ok":false,"error":"unauthorized"})");
  const std::string put = "PUT /launch/session HTTP/1.1\r\nx-korvessa-token: wrong\r\n"
                          "content-length: 1073741824\r\n\r\n";
  // The connection stays open: a service that waited for the body would time out into a 400.
  kit::Result<std::string> nothingSent = kit::exchangeRaw(*port, put, kWaitMs);
  EXPECT_EQ(orText(nothingSent, "failed"), unauthorized);
  kit::Result<std::string> partSent =
      kit::exchangeRaw(*port, put + std::string(1 << 20, 'x'), kWaitMs);
  EXPECT_EQ(orText(partSent, "failed"), unauthorized);
  EXPECT_EQ(request(*port, "GET", "/health"),
            httpReply("200 OK", R"({"ok":true,"service":"korvessa-client-services"})"));

  std::string reply;
  char chunk[512];
  for (platform::ReceiveResult got = platform::receive(*trickler, chunk, sizeof(chunk));
       got.kind == platform::ReceiveResult::Kind::Data;
       got = platform::receive(*trickler, chunk, sizeof(chunk))) {
    reply.append(chunk, got.size);
  }
  const auto cutAfter = Clock::now() - start;
  stop = true;
  trickle.join();
  EXPECT_EQ(reply, httpReply("400 Bad Request", R"({"ok":false,"error":"bad_request"})"));
  EXPECT_GE(cutAfter, std::chrono::seconds(9)) << "cut before the head deadline";
  EXPECT_LE(cutAfter, std::chrono::seconds(20)) << "not cut at the head deadline";
  launcher->closeStdin();
  EXPECT_EQ(launcher->wait(kWaitMs), 0);
  EXPECT_EQ(service->wait(kWaitMs), 0);
  EXPECT_EQ(orText(service->readStderrToEnd(kWaitMs), "?"), "");
}

struct StatusCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;         // written to standard input, which is then closed
  int status;
  std::string out;           // standard output, exactly
  std::optional<std::string> err;  // standard error, exactly; none: any one-line text
};

// Exit statuses and stream contents of the start-up paths that end the process. Arguments go
// through the Windows command line (quoting, UTF-16) and back, so they reach the service intact.
TEST(WindowsEndToEnd, StartUpStatusesAndStreams) {
  const std::string config = configLine("C:\\Games\\Korvessa");
  const std::string oddArgument = "--L\xC3\xA4UNCHER \"pid\" C:\\dir\\ \xF0\x9F\x8E\xAE\\";
  const StatusCase cases[] = {
      {"help", {"--help"}, "", 0, kUsage, ""},
      {"short help, rest ignored", {"-h", "--launcher-pid"}, "", 0, kUsage, ""},
      {"no argument", {}, "", 2, "", "missing --launcher-pid\n"},
      {"option without value", {"--launcher-pid"}, "", 2, "", "--launcher-pid requires a value\n"},
      {"hexadecimal pid", {"--launcher-pid", "0x10"}, "", 2, "", "invalid launcher pid\n"},
      {"quoted, non-ASCII argument", {oddArgument}, "", 2, "", "unknown argument: " + oddArgument + "\n"},
      {"unreadable configuration", {"--launcher-pid", "1"}, "not json\n", 3, "", std::nullopt},
      {"pid 0", {"--launcher-pid", "0"}, config, 4, "", "launcher process not found\n"},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto started = kit::ChildProcess::start(KCS_SERVICE_PATH, c.arguments);
    ASSERT_TRUE(started.ok()) << started.error();
    std::unique_ptr<kit::ChildProcess> service = std::move(started).value();
    if (!c.input.empty()) {
      ASSERT_TRUE(service->writeStdin(c.input).ok());
    }
    service->closeStdin();
    EXPECT_EQ(service->wait(kWaitMs), c.status);
    EXPECT_EQ(orText(service->readStdoutToEnd(kWaitMs), "?"), c.out);
    const std::string err = orText(service->readStderrToEnd(kWaitMs), "?");
    if (c.err) {
      EXPECT_EQ(err, *c.err);
    } else {
      EXPECT_FALSE(err.empty());
      EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
  }
}

// Runs the service with a raw UTF-16 command line, which may hold what no UTF-8 text can.
std::optional<DWORD> runRaw(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inheritable, OPEN_EXISTING, 0, nullptr);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  const BOOL created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
  ::CloseHandle(nul);
  if (!created) return std::nullopt;
  ::CloseHandle(info.hThread);
  std::optional<DWORD> status;
  DWORD code = 0;
  if (::WaitForSingleObject(info.hProcess, kWaitMs) == WAIT_OBJECT_0 &&
      ::GetExitCodeProcess(info.hProcess, &code)) {
    status = code;
  } else {
    ::TerminateProcess(info.hProcess, 1);
  }
  ::CloseHandle(info.hProcess);
  return status;
}

// An examined argument that is not valid UTF-16 is a fatal failure (status 101); one that is
// never examined does not matter.
TEST(WindowsEndToEnd, BrokenUtf16ArgumentsAreFatalOnlyWhenExamined) {
  std::wstring service = wide(KCS_SERVICE_PATH);
  for (wchar_t& c : service) {
    if (c == L'/') c = L'\\';
  }
  const std::wstring program = L"\"" + service + L"\"";
  const wchar_t lone = static_cast<wchar_t>(0xD800);
  EXPECT_EQ(runRaw(program + L" --launcher-pid 12" + lone), 101u);
  EXPECT_EQ(runRaw(program + L" --he" + std::wstring(1, lone)), 101u);
  EXPECT_EQ(runRaw(program + L" --help " + std::wstring(1, lone)), 0u);
}

// presence-check against the Discord stand-in on a pipe of its own (no real Discord is asked):
// the answers are read from a named pipe, and each mode gets its sentence and status.
TEST(WindowsEndToEnd, PresenceCheckReadsTheStandInsAnswers) {
  const std::string pipe = "\\\\.\\pipe\\kcs-check-" + std::to_string(::GetCurrentProcessId());
  const std::string tools = KCS_TOOLS_DIR;
  struct Case {
    const char* mode;
    int status;
    std::string sentence;
  };
  const Case cases[] = {
      {"ready", 0, "Discord accepted the activity: it shows \"In the menus\" / \"Duskmere\".\n"},
      {"reject", 1, "code 4000, \"Invalid Client ID\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    kit::ChildOptions quiet;
    quiet.pipeStdin = false;
    auto standin = kit::ChildProcess::start(tools + "/discord-standin.exe",
                                            {"--mode", c.mode, "--name", pipe}, quiet);
    ASSERT_TRUE(standin.ok()) << standin.error();
    EXPECT_EQ(orText((*standin)->readStdoutLine(kWaitMs), ""), "listening " + pipe + "\n");
    auto check =
        kit::ChildProcess::start(tools + "/presence-check.exe", {"--endpoint", pipe}, quiet);
    ASSERT_TRUE(check.ok()) << check.error();
    const std::string out = orText((*check)->readStdoutToEnd(kWaitMs), "");
    EXPECT_EQ((*check)->wait(kWaitMs), c.status) << out;
    EXPECT_NE(out.find(c.sentence), std::string::npos) << out;
    (*standin)->kill();
  }
}

}  // namespace
}  // namespace kcs

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--stand-in") == 0) {
    // Live until standard input closes (or the test ends this process).
    char buffer[64];
    DWORD got = 0;
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    while (::ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    }
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
