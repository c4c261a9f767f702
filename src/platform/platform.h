// The operating-system layer: everything the service asks of the system, behind one small
// interface. platform_posix.cpp and platform_win32.cpp implement it; CMake picks one. Nothing here
// prints, retries beyond an interrupted call, or decides what a failure means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace kcs::platform {

// ---- Owned handles -------------------------------------------------------------------------
// One owner per handle; the destructor closes it. -1 is "no handle" on every platform
// (INVALID_SOCKET and INVALID_HANDLE_VALUE both read as -1 in an intptr_t).

void closeSocketHandle(std::intptr_t handle);
void closeFileHandle(std::intptr_t handle);

template <void (*Close)(std::intptr_t)>
class UniqueHandle {
 public:
  static constexpr std::intptr_t kInvalid = -1;

  UniqueHandle() = default;
  explicit UniqueHandle(std::intptr_t handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  std::intptr_t get() const { return handle_; }
  bool valid() const { return handle_ != kInvalid; }
  std::intptr_t release() {
    std::intptr_t h = handle_;
    handle_ = kInvalid;
    return h;
  }
  void reset() {
    if (valid()) Close(release());
  }

 private:
  std::intptr_t handle_ = kInvalid;
};

using Socket = UniqueHandle<closeSocketHandle>;
using File = UniqueHandle<closeFileHandle>;
// A byte stream to a local IPC endpoint (Discord's): a named pipe on Windows, a Unix socket on POSIX.
using IpcChannel = UniqueHandle<closeFileHandle>;

// ---- Process and console -------------------------------------------------------------------

// Prepares the process once at start: POSIX ignores SIGPIPE (a closed peer becomes an error code)
// and raises the soft limit of open descriptors to the hard one; Windows puts standard output and
// standard error in binary mode.
void initProcess();

// The command-line arguments as bytes, program name first. POSIX: argv unchanged. Windows: the
// UTF-16 command line split as CommandLineToArgvW does and converted per argument to UTF-8; an
// unpaired surrogate becomes its three-byte generalized form, so the argument fails a UTF-8 check
// while the others stay usable.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Reads standard input up to and including the first line feed, or to the end of input.
// Interrupted reads are retried. Bytes after the line feed are not used.
Result<std::string> readStandardInputLine();

// Writes all of text, unbuffered. The failure carries the system's error text.
Status writeStandardOutput(std::string_view text);
Status writeStandardError(std::string_view text);

// Ends the process at once with this status, without static destructors or exit handlers, so
// detached threads still running never see the runtime torn down beneath them.
[[noreturn]] void exitProcess(int status);

// True while a process with this id runs and this process may query it. One that has ended
// counts as gone, whoever still holds it: a zombie not yet reaped on POSIX, a process object
// still held open elsewhere on Windows. A process of another user counts as present on POSIX
// (EPERM) and as gone on Windows where it may not be opened. 0 is never a process.
bool processExists(std::uint32_t pid);

std::uint32_t currentProcessId();

// ---- Time and threads ----------------------------------------------------------------------

void sleepMilliseconds(unsigned milliseconds);

// Whole seconds since 1970-01-01 UTC from the precise wall clock; 0 for a clock before 1970.
std::uint64_t unixTimeSeconds();

// Starts body on a detached thread with a 2 MiB stack reservation. body must not throw.
Status spawnDetachedThread(std::function<void()> body);

// ---- Sockets -------------------------------------------------------------------------------

// Starts the socket library (WSAStartup on Windows); call once before any other socket call.
Status initSocketLibrary();

// An IPv4 stream socket bound to 127.0.0.1 with a port the system picks, listening with backlog.
Result<Socket> bindLoopbackListener(int backlog);

Status setNonBlocking(Socket& socket, bool nonBlocking);

// The socket's local address as "a.b.c.d:port".
Result<std::string> localAddress(const Socket& socket);

struct AcceptResult {
  enum class Kind { Accepted, WouldBlock, Failed };
  Kind kind = Kind::Failed;
  Socket connection;  // valid when Accepted
  std::string error;  // set when Failed
};
AcceptResult acceptConnection(Socket& listener);

Status setReceiveTimeout(Socket& socket, unsigned milliseconds);

struct ReceiveResult {
  enum class Kind { Data, Closed, Failed };
  Kind kind = Kind::Failed;
  std::size_t size = 0;  // bytes received when Data (never 0)
  std::string error;     // set when Failed (the time-out included)
};
// One receive of at most capacity bytes. End of stream and a receive refused because the socket
// was shut down are both Closed. Interrupted calls are retried.
ReceiveResult receive(Socket& socket, char* buffer, std::size_t capacity);

// One send of at most min(size, 2^31 - 1) bytes, never raising SIGPIPE. Returns the bytes taken.
Result<std::size_t> send(Socket& socket, const char* data, std::size_t size);

// Client side, for tools and tests: a blocking connection to 127.0.0.1:port.
Result<Socket> connectLoopback(std::uint16_t port);
// Half-closes the sending direction: the peer sees the end of the stream, reading goes on.
Status shutdownSending(Socket& socket);

// ---- Files ---------------------------------------------------------------------------------

// Opens an existing file for reading while others may keep reading, writing and deleting it.
// Never blocks: POSIX opens without waiting and refuses anything but a regular file (a FIFO in
// the file's place is a failure, not a wait for a writer).
Result<File> openSharedForReading(const std::string& path);
Result<std::uint64_t> fileSize(File& file);
Status seekTo(File& file, std::uint64_t offset);
// One read of at most capacity bytes; 0 means end of file. Interrupted reads are retried.
Result<std::size_t> readFile(File& file, char* buffer, std::size_t capacity);

// dir joined with a plain file name by the platform's separator rule (POSIX: "/" unless dir is
// empty or ends in "/"; Windows: "\" unless dir is empty, ends in "/" or "\", or is a drive
// designator such as "C:").
std::string joinPath(std::string_view dir, std::string_view fileName);

// ---- Discord IPC endpoint ------------------------------------------------------------------

// Opens Discord's endpoint with this index (0 to 9) for writing. Windows: "\\.\pipe\discord-ipc-N".
// POSIX: a Unix stream socket named discord-ipc-N in BASE/, then BASE/app/com.discordapp.Discord/,
// BASE/snap.discord/, BASE/.flatpak/com.discordapp.Discord/xdg-run/,
// BASE/app/com.discordapp.DiscordCanary/ and BASE/.flatpak/dev.vencord.Vesktop/xdg-run/, BASE
// being the first non-empty of XDG_RUNTIME_DIR, TMPDIR, TMP, TEMP, else /tmp. The first location
// that connects wins. Nothing waits: a listener that cannot take the connection at once fails
// like a missing one, and so does a listener whose user is not this process's effective user.
// The channel returned writes in blocking mode.
Result<IpcChannel> openDiscordIpc(unsigned index);

// One write of at most size bytes; returns the bytes taken (0 is possible and is the caller's to
// judge). Interrupted writes are retried; never raises SIGPIPE.
Result<std::size_t> writeIpc(IpcChannel& channel, const char* data, std::size_t size);

// The endpoint name of index N at its plain location (the first that openDiscordIpc tries).
std::string discordIpcName(unsigned index);

// One read of at most capacity bytes; 0 means the peer closed. Interrupted reads are retried.
Result<std::size_t> readIpc(IpcChannel& channel, char* buffer, std::size_t capacity);

// Client side, for tools that read Discord's answers (the service never does).
// Every name that openDiscordIpc tries for this index, in the order it tries them.
std::vector<std::string> discordIpcLocations(unsigned index);
// Opens the endpoint at exactly this socket path / pipe name for reading and writing.
Result<IpcChannel> openIpcEndpoint(const std::string& name);
// The socket path / pipe name of the endpoint at the other end of channel.
Result<std::string> ipcPeerName(IpcChannel& channel);

}  // namespace kcs::platform
