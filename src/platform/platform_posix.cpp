// POSIX implementation of the operating-system layer (Linux first; BSD-compatible calls where
// it costs nothing).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/platform.h"
#include "platform/process_check_posix.h"
#include "platform/unix_socket_posix.h"

namespace kcs::platform {
namespace {

constexpr std::size_t kThreadStackBytes = 2 * 1024 * 1024;

std::string errorText(int code) { return std::system_category().message(code); }
Failure lastError() { return fail(errorText(errno)); }

int fd(const Socket& s) { return static_cast<int>(s.get()); }
int fd(const File& f) { return static_cast<int>(f.get()); }

Status writeAllToFd(int target, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(target, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    if (n == 0) return fail("write returned zero bytes");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::success();
}

Result<std::size_t> readFd(int source, char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::read(source, buffer, capacity);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return lastError();
  }
}

Result<std::size_t> sendFd(int target, const char* data, std::size_t size) {
  std::size_t piece = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : size;
  for (;;) {
    ssize_t n = ::send(target, data, piece, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return lastError();
  }
}

Status setNonBlockingFd(int target, bool nonBlocking) {
  int flags = ::fcntl(target, F_GETFL, 0);
  if (flags < 0) return lastError();
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(target, F_SETFL, flags) != 0) return lastError();
  return Status::success();
}

// Where Discord builds keep their endpoints under the base folder, in the order tried for each
// index: the plain client, the Flatpak and Snap sandboxes' runtime folders, the Flatpak
// instance's own runtime folder, then the Canary build's and Vesktop's Flatpak folders.
constexpr const char* kDiscordIpcFolders[] = {
    "",
    "app/com.discordapp.Discord/",
    "snap.discord/",
    ".flatpak/com.discordapp.Discord/xdg-run/",
    "app/com.discordapp.DiscordCanary/",
    ".flatpak/dev.vencord.Vesktop/xdg-run/",
};

// Connects to one Discord endpoint without ever waiting. A listener that cannot take the
// connection at once (its backlog is full) counts as a failed open, like a missing one, so the
// caller goes on to the next endpoint instead of hanging in connect. A listener of another user
// counts as failed too: in a shared folder such as /tmp anyone may listen under Discord's names,
// and would receive the handshake and every frame after it.
Result<IpcChannel> connectDiscordEndpoint(const std::string& path) {
  Result<sockaddr_un> address = unixAddress(path);
  if (!address.ok()) return fail(address.error());
  IpcChannel socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) return lastError();
  const auto* at = reinterpret_cast<const sockaddr*>(&*address);
  if (::connect(fd(socket), at, sizeof(sockaddr_un)) != 0) {
    // EAGAIN is a full backlog; EINPROGRESS or EINTR leave a connection that is not made yet.
    return lastError();
  }
  // The credentials the listener had when it started listening.
  ucred peer{};
  socklen_t length = sizeof(peer);
  if (::getsockopt(fd(socket), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return lastError();
  if (peer.uid != ::geteuid()) return fail("Discord IPC endpoint belongs to another user");
  // Frames go out with blocking writes: a peer that stops reading holds the writer, by design.
  Status blocking = setNonBlockingFd(fd(socket), false);
  if (!blocking.ok()) return fail(blocking.error());
  return socket;
}

std::string ipcBaseDirectory() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "/tmp";
}

void* threadEntry(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

Result<sockaddr_un> unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return fail("socket path too long");
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

void closeSocketHandle(std::intptr_t handle) { ::close(static_cast<int>(handle)); }
void closeFileHandle(std::intptr_t handle) { ::close(static_cast<int>(handle)); }

// ---- Process and console -------------------------------------------------------------------

void initProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  // Every connection holds a descriptor while its thread lives; the usual soft limit of 1024
  // would let a handful of idle clients shut everyone else out. Nothing here uses select(), so
  // descriptors above 1023 are safe. A refusal leaves the limit as it was.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &files);
  }
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

Result<std::string> readStandardInputLine() {
  std::string line;
  char chunk[4096];
  for (;;) {
    Result<std::size_t> n = readFd(STDIN_FILENO, chunk, sizeof(chunk));
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

Status writeStandardOutput(std::string_view text) { return writeAllToFd(STDOUT_FILENO, text); }
Status writeStandardError(std::string_view text) { return writeAllToFd(STDERR_FILENO, text); }

void exitProcess(int status) { ::_exit(status); }

namespace {

// True when /proc/PID/stat shows a process that has ended and waits to be reaped: state X (dead),
// or Z (zombie) with no thread left but its leader. A leader thread that ended while others run
// also shows Z, but its process lives on, and then the thread count is above 1. Without /proc (or
// with /proc hiding other users' processes) nothing is known, and the answer is no.
bool procShowsEnded(pid_t id) {
  char path[32];
  std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(id));
  const int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char text[1024];
  Result<std::size_t> got = readFd(file, text, sizeof(text) - 1);
  ::close(file);
  if (!got.ok()) return false;
  text[*got] = '\0';
  // "pid (name) state ppid ..." where the name may hold anything, ")" too: the fields follow the
  // last ")". The thread count is the 18th field after it, the state being the 1st.
  char* fields = std::strrchr(text, ')');
  if (fields == nullptr || fields[1] != ' ') return false;
  const char state = fields[2];
  if (state == 'X') return true;
  if (state != 'Z') return false;
  char* at = fields + 2;
  for (int field = 1; field < 18 && at != nullptr; ++field) {
    at = std::strchr(at, ' ');
    if (at != nullptr) ++at;
  }
  return at != nullptr && std::strtol(at, nullptr, 10) <= 1;
}

}  // namespace

bool processExistsVia(std::uint32_t pid, ProcessCheckPath path) {
  // kill() and pidfd_open() read 0 and negative numbers as process groups or "every process".
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  const pid_t id = static_cast<pid_t>(pid);
#ifdef SYS_pidfd_open
  if (path == ProcessCheckPath::PidfdThenSignal) {
    // A zombie still opens. Its pidfd is readable once the whole process has exited, and only
    // then: unlike state Z in /proc/PID/stat it stays quiet while just the leader thread has
    // ended. One poll on the descriptor already open is also cheaper than reading and parsing a
    // /proc file, so it is the test here; /proc serves only the path without pidfds.
    long handle = ::syscall(SYS_pidfd_open, id, 0);
    if (handle >= 0) {
      pollfd entry{static_cast<int>(handle), POLLIN, 0};
      int ready = 0;
      do {
        ready = ::poll(&entry, 1, 0);
      } while (ready < 0 && errno == EINTR);
      ::close(static_cast<int>(handle));
      return !(ready > 0 && (entry.revents & POLLIN) != 0);
    }
    if (errno == ESRCH) return false;
    // Older kernels (ENOSYS), sandboxes (EPERM) and non-leader thread ids (EINVAL) fall through.
  }
#else
  (void)path;
#endif
  // EPERM: the process exists but belongs to someone else, which still counts as present.
  if (::kill(id, 0) != 0 && errno != EPERM) return false;
  return !procShowsEnded(id);
}

bool processExists(std::uint32_t pid) {
  return processExistsVia(pid, ProcessCheckPath::PidfdThenSignal);
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

// ---- Time and threads ----------------------------------------------------------------------

void sleepMilliseconds(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint64_t unixTimeSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec);
}

Status spawnDetachedThread(std::function<void()> body) {
  pthread_attr_t attributes;
  int rc = ::pthread_attr_init(&attributes);
  if (rc != 0) return fail(errorText(rc));
  rc = ::pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  if (rc == 0) rc = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (rc == 0) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t thread;
    rc = ::pthread_create(&thread, &attributes, threadEntry, owned.get());
    if (rc == 0) owned.release();  // the thread owns it now
  }
  ::pthread_attr_destroy(&attributes);
  if (rc != 0) return fail(errorText(rc));
  return Status::success();
}

// ---- Sockets -------------------------------------------------------------------------------

Status initSocketLibrary() { return Status::success(); }

Result<Socket> bindLoopbackListener(int backlog) {
  Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return lastError();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(fd(listener), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return lastError();
  }
  if (::listen(fd(listener), backlog) != 0) return lastError();
  return listener;
}

Status setNonBlocking(Socket& socket, bool nonBlocking) {
  return setNonBlockingFd(fd(socket), nonBlocking);
}

Result<std::string> localAddress(const Socket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return lastError();
  }
  if (address.sin_family != AF_INET) return fail("not an IPv4 socket");
  char text[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) == nullptr) return lastError();
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

AcceptResult acceptConnection(Socket& listener) {
  AcceptResult result;
  for (;;) {
    int accepted = ::accept(fd(listener), nullptr, nullptr);
    if (accepted >= 0) {
      result.connection = Socket(accepted);
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      result.kind = AcceptResult::Kind::WouldBlock;
    } else {
      result.kind = AcceptResult::Kind::Failed;
      result.error = errorText(errno);
    }
    return result;
  }
  ::fcntl(fd(result.connection), F_SETFD, FD_CLOEXEC);
  // BSD hands out the listener's non-blocking flag; Linux does not. Clear it either way.
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
  timeval timeout{static_cast<time_t>(milliseconds / 1000),
                  static_cast<suseconds_t>((milliseconds % 1000) * 1000)};
  if (::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    return lastError();
  }
  return Status::success();
}

ReceiveResult receive(Socket& socket, char* buffer, std::size_t capacity) {
  ReceiveResult result;
  for (;;) {
    ssize_t n = ::recv(fd(socket), buffer, capacity, 0);
    if (n > 0) {
      result.kind = ReceiveResult::Kind::Data;
      result.size = static_cast<std::size_t>(n);
    } else if (n == 0 || errno == ESHUTDOWN) {
      result.kind = ReceiveResult::Kind::Closed;
    } else if (errno == EINTR) {
      continue;
    } else {
      result.kind = ReceiveResult::Kind::Failed;
      result.error = errorText(errno);
    }
    return result;
  }
}

Result<std::size_t> send(Socket& socket, const char* data, std::size_t size) {
  return sendFd(fd(socket), data, size);
}

Result<Socket> connectLoopback(std::uint16_t port) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return lastError();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return lastError();
  }
  return socket;
}

Status shutdownSending(Socket& socket) {
  if (::shutdown(fd(socket), SHUT_WR) != 0) return lastError();
  return Status::success();
}

// ---- Files ---------------------------------------------------------------------------------

Result<File> openSharedForReading(const std::string& path) {
  // POSIX files carry no share modes: others may always write, rename and unlink. Without
  // O_NONBLOCK a FIFO in the file's place would hold the open until a writer came, for ever if
  // none does; on a regular file the flag changes nothing. Only regular files are read: a FIFO,
  // device or directory there is a failed open.
  File file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) return lastError();
  struct stat info {};
  if (::fstat(fd(file), &info) != 0) return lastError();
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");
  return file;
}

Result<std::uint64_t> fileSize(File& file) {
  struct stat info {};
  if (::fstat(fd(file), &info) != 0) return lastError();
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");
  return static_cast<std::uint64_t>(info.st_size);
}

Status seekTo(File& file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return fail("offset out of range");
  if (::lseek(fd(file), static_cast<off_t>(offset), SEEK_SET) < 0) return lastError();
  return Status::success();
}

Result<std::size_t> readFile(File& file, char* buffer, std::size_t capacity) {
  return readFd(fd(file), buffer, capacity);
}

std::string joinPath(std::string_view dir, std::string_view fileName) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += fileName;
  return path;
}

// ---- Discord IPC endpoint ------------------------------------------------------------------

Result<IpcChannel> openDiscordIpc(unsigned index) {
  Failure last = fail("Discord IPC endpoint not found");
  for (const std::string& location : discordIpcLocations(index)) {
    Result<IpcChannel> socket = connectDiscordEndpoint(location);
    if (socket.ok()) return std::move(socket).value();
    last = fail(socket.error());
  }
  return last;
}

Result<std::size_t> writeIpc(IpcChannel& channel, const char* data, std::size_t size) {
  return sendFd(fd(channel), data, size);
}

std::string discordIpcName(unsigned index) {
  return joinPath(ipcBaseDirectory(), "discord-ipc-" + std::to_string(index));
}

Result<std::size_t> readIpc(IpcChannel& channel, char* buffer, std::size_t capacity) {
  return readFd(fd(channel), buffer, capacity);
}

// ---- Discord IPC endpoint, reading client ---------------------------------------------------

std::vector<std::string> discordIpcLocations(unsigned index) {
  const std::string base = ipcBaseDirectory();
  const std::string name = "discord-ipc-" + std::to_string(index);
  std::vector<std::string> locations;
  for (const char* folder : kDiscordIpcFolders) {
    locations.push_back(joinPath(base, std::string(folder) + name));
  }
  return locations;
}

Result<IpcChannel> openIpcEndpoint(const std::string& name) {
  // A named endpoint passes the same checks as a discovered one.
  return connectDiscordEndpoint(name);
}

Result<std::string> ipcPeerName(IpcChannel& channel) {
  sockaddr_un address{};
  socklen_t length = sizeof(address);
  if (::getpeername(fd(channel), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return lastError();
  }
  const std::size_t offset = offsetof(sockaddr_un, sun_path);
  // sun_path need not be terminated when the path fills it; an unnamed or abstract socket has
  // no path to tell.
  const std::size_t size = length > offset ? static_cast<std::size_t>(length) - offset : 0;
  const std::size_t pathLength = ::strnlen(address.sun_path, size);
  if (address.sun_family != AF_UNIX || pathLength == 0) return fail("the peer has no path");
  return std::string(address.sun_path, pathLength);
}

}  // namespace kcs::platform
