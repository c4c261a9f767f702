// Windows implementation of the operating-system layer: Winsock 2, process handles, CreateFileW
// for files and named pipes; standard streams as raw UTF-8 bytes, or wide characters on a console.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/system_text_win32.h"
#include "platform/utf16.h"

namespace kcs::platform {
namespace {

constexpr SIZE_T kThreadStackBytes = 2 * 1024 * 1024;
// The largest piece handed to one send/recv/ReadFile/WriteFile: their counts are int or DWORD.
constexpr std::size_t kMaxPiece = INT_MAX;
// 100-nanosecond intervals between 1601-01-01 and 1970-01-01 UTC.
constexpr std::uint64_t kUnixEpochInFileTime = 116444736000000000ULL;

std::wstring toWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::string fromWide(const wchar_t* text, std::size_t length) {
  return utf16ToGeneralizedUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

}  // namespace

std::string errorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) {
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                          buffer[length - 1] == L' ')) {
      --length;
    }
    text = fromWide(buffer, length);
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  if (text.empty()) text = "system error " + std::to_string(code);
  return text;
}

Result<std::wstring> widePath(const std::string& path) {
  Result<std::u16string> wide = utf8ToUtf16(path);
  if (!wide.ok()) return fail("path is not valid UTF-8");
  // A NUL would cut the name short and open some other file.
  if (wide->find(u'\0') != std::u16string::npos) return fail("path contains a NUL character");
  return toWide(*wide);
}

namespace {

Failure lastError() { return fail(errorText(::GetLastError())); }
Failure lastSocketError() { return fail(errorText(static_cast<DWORD>(::WSAGetLastError()))); }

SOCKET sock(const Socket& s) { return static_cast<SOCKET>(s.get()); }
HANDLE handle(const File& f) { return reinterpret_cast<HANDLE>(f.get()); }
std::intptr_t owned(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }
std::intptr_t owned(SOCKET s) { return static_cast<std::intptr_t>(s); }

DWORD pieceOf(std::size_t size) { return static_cast<DWORD>(size > kMaxPiece ? kMaxPiece : size); }

// A console window interprets bytes in its own code page, which is seldom UTF-8; its
// wide-character interface shows every character as it is. Ill-formed bytes show as U+FFFD.
Status writeAllToConsole(HANDLE console, std::string_view text) {
  // WriteConsoleW refuses very large buffers on some Windows versions; pieces keep it safe.
  constexpr std::size_t kConsolePiece = 8192;
  const std::u16string wide = utf8ToUtf16Replacing(text);
  std::u16string_view rest = wide;
  while (!rest.empty()) {
    DWORD written = 0;
    DWORD piece = static_cast<DWORD>(rest.size() > kConsolePiece ? kConsolePiece : rest.size());
    if (piece < rest.size() && rest[piece - 1] >= 0xD800 && rest[piece - 1] <= 0xDBFF) --piece;
    if (!::WriteConsoleW(console, rest.data(), piece, &written, nullptr)) return lastError();
    if (written == 0) return fail("write returned zero characters");
    rest.remove_prefix(written);
  }
  return Status::success();
}

Status writeAllToHandle(DWORD which, std::string_view text) {
  HANDLE target = ::GetStdHandle(which);
  if (target == INVALID_HANDLE_VALUE || target == nullptr) {
    return fail("standard stream is not available");
  }
  // GetConsoleMode succeeds only for a console; pipes and files get the UTF-8 bytes unchanged.
  DWORD mode = 0;
  if (::GetConsoleMode(target, &mode)) return writeAllToConsole(target, text);
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(target, text.data(), pieceOf(text.size()), &written, nullptr)) {
      return lastError();
    }
    if (written == 0) return fail("write returned zero bytes");
    text.remove_prefix(written);
  }
  return Status::success();
}

// ReadFile with the ways a pipe or file reports its end folded into a zero-byte read.
Result<std::size_t> readHandle(HANDLE source, char* buffer, std::size_t capacity) {
  DWORD got = 0;
  if (::ReadFile(source, buffer, pieceOf(capacity), &got, nullptr)) return std::size_t{got};
  DWORD code = ::GetLastError();
  if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || code == ERROR_PIPE_NOT_CONNECTED) {
    return std::size_t{0};
  }
  return fail(errorText(code));
}

Result<SOCKET> newStreamSocket() {
  // The service starts Winsock itself and treats a failure as fatal; tools and tests that go
  // straight to a socket get it started here (the start-up runs once either way).
  if (Status started = initSocketLibrary(); !started.ok()) return fail(started.error());
  // Overlapped like socket() makes them: without it SO_RCVTIMEO never takes effect (accepted
  // sockets take the attribute over from the listener). Not inheritable: a child process
  // started by the same program must not keep the port open.
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return lastSocketError();
  return s;
}

sockaddr_in loopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

unsigned __stdcall threadEntry(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return 0;
}

}  // namespace

void closeSocketHandle(std::intptr_t h) { ::closesocket(static_cast<SOCKET>(h)); }
void closeFileHandle(std::intptr_t h) { ::CloseHandle(reinterpret_cast<HANDLE>(h)); }

// ---- Process and console -------------------------------------------------------------------

void initProcess() {
  // Binary mode: a "\n" written through the C runtime stays one byte. The service's own writes go
  // straight to the handles and are never translated. A stream the process was started without
  // is left alone: the runtime may treat its descriptor as an invalid argument.
  const struct {
    DWORD handle;
    FILE* stream;
  } streams[] = {{STD_INPUT_HANDLE, stdin}, {STD_OUTPUT_HANDLE, stdout}, {STD_ERROR_HANDLE, stderr}};
  for (const auto& s : streams) {
    HANDLE h = ::GetStdHandle(s.handle);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::_setmode(_fileno(s.stream), _O_BINARY);
  }
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (wide == nullptr) {
    // Out of memory in the shell's splitter: the runtime's own (ANSI) split is all there is.
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
  }
  args.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(fromWide(wide[i], std::wcslen(wide[i])));
  ::LocalFree(wide);
  return args;
}

Result<std::string> readStandardInputLine() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) {
    return fail("standard input is not available");
  }
  std::string line;
  char chunk[4096];
  for (;;) {
    Result<std::size_t> n = readHandle(input, chunk, sizeof(chunk));
    if (!n.ok()) return fail(n.error());
    if (*n == 0) return line;
    const char* end = static_cast<const char*>(std::memchr(chunk, '\n', *n));
    if (end != nullptr) {
      line.append(chunk, static_cast<std::size_t>(end - chunk) + 1);
      return line;
    }
    line.append(chunk, *n);
  }
}

Status writeStandardOutput(std::string_view text) {
  return writeAllToHandle(STD_OUTPUT_HANDLE, text);
}
Status writeStandardError(std::string_view text) { return writeAllToHandle(STD_ERROR_HANDLE, text); }

void exitProcess(int status) {
  // Like _exit: no static destructors, no exit handlers, no DLL detach code racing the detached
  // threads. Everything written so far went straight to the handles, so nothing is lost.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
  ::ExitProcess(static_cast<UINT>(status));  // not reached
}

bool processExists(std::uint32_t pid) {
  if (pid == 0) return false;  // the idle process, never a launcher or a game
  // An ended process still opens while anyone holds a handle to it (a parent that created it, a
  // .NET Process object); its object is signalled from the moment it ended.
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process != nullptr) {
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return !ended;
  }
  if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
  // The process's security may grant the query right without SYNCHRONIZE. Then only the exit
  // code tells: STILL_ACTIVE (259) is a legal exit code too, so a process that ended with 259
  // still counts as present here, which is why this is the fallback and not the test.
  process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;  // refused altogether
  DWORD code = 0;
  const bool ended = ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return !ended;
}

std::uint32_t currentProcessId() { return ::GetCurrentProcessId(); }

// ---- Time and threads ----------------------------------------------------------------------

void sleepMilliseconds(unsigned milliseconds) { ::Sleep(milliseconds); }

std::uint64_t unixTimeSeconds() {
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  if (ticks < kUnixEpochInFileTime) return 0;
  return (ticks - kUnixEpochInFileTime) / 10000000ULL;
}

Status spawnDetachedThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // _beginthreadex rather than CreateThread so the C runtime sets up its per-thread data.
  std::uintptr_t thread = ::_beginthreadex(nullptr, static_cast<unsigned>(kThreadStackBytes),
                                           threadEntry, owned.get(),
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return lastError();
  owned.release();  // the thread owns it now
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));  // detached: nobody waits for it
  return Status::success();
}

// ---- Sockets -------------------------------------------------------------------------------

Status initSocketLibrary() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data{};
    result = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (result != 0) return fail(errorText(static_cast<DWORD>(result)));
  return Status::success();
}

Result<Socket> bindLoopbackListener(int backlog) {
  Result<SOCKET> created = newStreamSocket();
  if (!created.ok()) return fail(created.error());
  Socket listener(owned(*created));
  sockaddr_in address = loopbackAddress(0);
  if (::bind(sock(listener), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return lastSocketError();
  }
  if (::listen(sock(listener), backlog) != 0) return lastSocketError();
  return listener;
}

Status setNonBlocking(Socket& socket, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  if (::ioctlsocket(sock(socket), FIONBIO, &mode) != 0) return lastSocketError();
  return Status::success();
}

Result<std::string> localAddress(const Socket& socket) {
  sockaddr_in address{};
  int length = sizeof(address);
  if (::getsockname(sock(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return lastSocketError();
  }
  if (address.sin_family != AF_INET) return fail("not an IPv4 socket");
  const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF) + ":" +
         std::to_string(ntohs(address.sin_port));
}

AcceptResult acceptConnection(Socket& listener) {
  AcceptResult result;
  for (;;) {
    SOCKET accepted = ::accept(sock(listener), nullptr, nullptr);
    if (accepted != INVALID_SOCKET) {
      result.connection = Socket(owned(accepted));
      break;
    }
    const int code = ::WSAGetLastError();
    if (code == WSAEINTR) continue;
    if (code == WSAEWOULDBLOCK) {
      result.kind = AcceptResult::Kind::WouldBlock;
    } else {
      result.kind = AcceptResult::Kind::Failed;
      result.error = errorText(static_cast<DWORD>(code));
    }
    return result;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(sock(result.connection)), HANDLE_FLAG_INHERIT, 0);
  // An accepted socket takes over the listener's non-blocking mode; the connection is read in
  // blocking mode with a receive time-out.
  Status blocking = setNonBlocking(result.connection, false);
  if (!blocking.ok()) {
    result.connection.reset();
    result.kind = AcceptResult::Kind::Failed;
    result.error = blocking.error();
    return result;
  }
  result.kind = AcceptResult::Kind::Accepted;
  return result;
}

Status setReceiveTimeout(Socket& socket, unsigned milliseconds) {
  // Winsock takes a DWORD of milliseconds here, not a timeval.
  const DWORD timeout = milliseconds;
  if (::setsockopt(sock(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout)) != 0) {
    return lastSocketError();
  }
  return Status::success();
}

ReceiveResult receive(Socket& socket, char* buffer, std::size_t capacity) {
  ReceiveResult result;
  for (;;) {
    const int n = ::recv(sock(socket), buffer, static_cast<int>(pieceOf(capacity)), 0);
    if (n > 0) {
      result.kind = ReceiveResult::Kind::Data;
      result.size = static_cast<std::size_t>(n);
      return result;
    }
    if (n == 0) {
      result.kind = ReceiveResult::Kind::Closed;
      return result;
    }
    const int code = ::WSAGetLastError();
    if (code == WSAEINTR) continue;
    if (code == WSAESHUTDOWN) {
      result.kind = ReceiveResult::Kind::Closed;
    } else {
      result.kind = ReceiveResult::Kind::Failed;
      result.error = errorText(static_cast<DWORD>(code));
    }
    return result;
  }
}

Result<std::size_t> send(Socket& socket, const char* data, std::size_t size) {
  for (;;) {
    const int n = ::send(sock(socket), data, static_cast<int>(pieceOf(size)), 0);
    if (n != SOCKET_ERROR) return static_cast<std::size_t>(n);
    const int code = ::WSAGetLastError();
    if (code != WSAEINTR) return fail(errorText(static_cast<DWORD>(code)));
  }
}

Result<Socket> connectLoopback(std::uint16_t port) {
  Result<SOCKET> created = newStreamSocket();
  if (!created.ok()) return fail(created.error());
  Socket socket(owned(*created));
  sockaddr_in address = loopbackAddress(port);
  if (::connect(sock(socket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return lastSocketError();
  }
  return socket;
}

Status shutdownSending(Socket& socket) {
  if (::shutdown(sock(socket), SD_SEND) != 0) return lastSocketError();
  return Status::success();
}

// ---- Files ---------------------------------------------------------------------------------

Result<File> openSharedForReading(const std::string& path) {
  Result<std::wstring> wide = widePath(path);
  if (!wide.ok()) return fail(wide.error());
  // The proxy keeps writing, rotating or deleting its log while we read it.
  HANDLE file = ::CreateFileW(wide->c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lastError();
  File opened(owned(file));
  if (::GetFileType(file) != FILE_TYPE_DISK) return fail("not a regular file");
  return opened;
}

Result<std::uint64_t> fileSize(File& file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle(file), &size)) return lastError();
  if (size.QuadPart < 0) return fail("negative file size");
  return static_cast<std::uint64_t>(size.QuadPart);
}

Status seekTo(File& file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return fail("offset out of range");
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(handle(file), distance, nullptr, FILE_BEGIN)) return lastError();
  return Status::success();
}

Result<std::size_t> readFile(File& file, char* buffer, std::size_t capacity) {
  return readHandle(handle(file), buffer, capacity);
}

std::string joinPath(std::string_view dir, std::string_view fileName) {
  std::string path(dir);
  const bool endsInSeparator = !path.empty() && (path.back() == '\\' || path.back() == '/');
  // "C:" names the current directory of drive C; "C:\name" would be its root instead.
  const bool driveDesignator = path.size() == 2 && path[1] == ':' &&
                               ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (!path.empty() && !endsInSeparator && !driveDesignator) path += '\\';
  path += fileName;
  return path;
}

// ---- Discord IPC endpoint ------------------------------------------------------------------

Result<IpcChannel> openDiscordIpc(unsigned index) {
  return openIpcEndpoint(discordIpcName(index));
}

Result<std::size_t> writeIpc(IpcChannel& channel, const char* data, std::size_t size) {
  DWORD written = 0;
  if (!::WriteFile(handle(channel), data, pieceOf(size), &written, nullptr)) return lastError();
  return std::size_t{written};
}

std::string discordIpcName(unsigned index) {
  return "\\\\.\\pipe\\discord-ipc-" + std::to_string(index);
}

Result<std::size_t> readIpc(IpcChannel& channel, char* buffer, std::size_t capacity) {
  return readHandle(handle(channel), buffer, capacity);
}

// ---- Discord IPC endpoint, reading client ---------------------------------------------------

std::vector<std::string> discordIpcLocations(unsigned index) { return {discordIpcName(index)}; }

// An existing pipe, for reading and writing, shared with other openers, synchronous I/O.
Result<IpcChannel> openIpcEndpoint(const std::string& name) {
  Result<std::wstring> wide = widePath(name);
  if (!wide.ok()) return fail(wide.error());
  HANDLE pipe = ::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return lastError();
  return IpcChannel(owned(pipe));
}

Result<std::string> ipcPeerName(IpcChannel& channel) {
  // The pipe's name below the pipe file system's root, e.g. "\discord-ipc-0".
  alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t)] = {};
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!::GetFileInformationByHandleEx(handle(channel), FileNameInfo, info, sizeof(buffer))) {
    return lastError();
  }
  return "\\\\.\\pipe" + fromWide(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

}  // namespace kcs::platform
