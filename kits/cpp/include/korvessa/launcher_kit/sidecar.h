// The launcher's side of korvessa-client-services in one unit: start the service beside the
// launcher, hand it the configuration line, learn its address, call its routes, stop it.
// Launchers link it as korvessa::launcher_kit; the demo launcher and the end-to-end tests use it
// the same way. It follows the design every kit shares (kits/README.md).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/result.h"

namespace kcs::kit {

// The launch ticket and the presence session, as the wire contract defines them.
using protocol::LoginTicket;
using protocol::PresenceSession;

// The game's authentication proxy log in the client directory, which the service follows.
inline constexpr std::string_view kProxyLogFileName = protocol::kProxyLogFileName;

// The shortest access token the service takes.
inline constexpr std::size_t kMinimumTokenBytes = 32;

// The service this kit starts by default: korvessa-client-services (.exe on Windows) in the
// folder of the running program, or the bare name, looked up in PATH, where the system cannot
// say where the program lies.
std::string defaultServicePath();

// The proxy log's size in bytes, 0 when there is none: taken just before the game starts, it is
// the presence session's logOffset that skips the lines of earlier sessions. clientDir is UTF-8.
Result<std::uint64_t> proxyLogOffset(const std::string& clientDir);

// Sidecar::start checks these before it starts anything; a refused option fails with
// Code::kInvalidArgument, Failure::argument naming it (the token's value never appears).
struct SidecarOptions {
  // The game client directory, passed on as it is: it may be empty and need not exist yet. A
  // wrong one costs only the presence (the service finds no proxy log there).
  std::string clientDir;
  std::optional<std::string> servicePath;  // not empty; unset: defaultServicePath()
  // At least 32 bytes of printable ASCII without spaces (0x21 to 0x7E); unset: 32 random bytes
  // from the system's secure source, hex-encoded.
  std::optional<std::string> token;
  std::optional<std::uint32_t> launcherPid;  // from 1 to 4294967295; unset: this process
  std::vector<std::string> environment;      // extra "NAME=value" entries for the service
  // How long to wait for the address line, and for each call from connecting to the end of the
  // reply: from 1 ms to 2147483647 ms.
  std::chrono::milliseconds announceTimeout{10000};
  std::chrono::milliseconds requestTimeout{5000};
  // Called with each line the service writes to standard error (without its line feed), in
  // order, on a thread of the kit's and never under a lock of the kit's. Standard error is
  // read from the start whether or not this is set. A handler that throws loses only that
  // exception; one that takes its time holds up only later calls of itself (up to 1000 lines
  // wait for it, later ones are dropped until it returns). After stop() it is not called again,
  // though a call in progress then may still be finishing.
  std::function<void(const std::string&)> onDiagnostic;
};

// How the service ended.
struct SidecarExit {
  std::optional<int> exitStatus;  // it exited with this status
  std::optional<int> signal;      // POSIX: this signal ended it
  bool killed = false;            // this kit killed it (stop(), or a start that failed)

  // "with status 4", "by signal 9", "stopped by this kit", or that its status was lost (another
  // part of this process reaped it): no more than the kit knows.
  std::string describe() const;
};

namespace detail {
struct SidecarState;
}
namespace internal {
struct Access;  // the project's own tests' way in; not part of the interface
}

// Every failure of Sidecar carries a code (result.code()) to branch on, and what the code
// carries in Failure (result.failure()):
//   kInvalidArgument  an option or a record refused before anything was started or sent;
//                     argument names it
//   kSpawn            the program could not be started (missing, a directory, not runnable)
//   kExited           the service ended before it announced its address; exitStatus or
//                     signal, and diagnostics, its last lines of standard error
//   kAnnounceTimeout  no address line within announceTimeout (the service was killed)
//   kBadAnnouncement  the first line on standard output is not an address line (killed)
//   kHttp             a reply other than the one the route promises; httpStatus, httpBody
//   kConnection       no request could be made or no reply read within requestTimeout; at
//                     once, without a request, once the service has ended (saying how, with
//                     exitStatus or signal)
// Every call is safe from several threads at once, stop() included.
class Sidecar {
 public:
  // Starts the service with "--launcher-pid", writes the configuration line and waits for the
  // address line. A start that fails leaves no process behind.
  static Result<Sidecar> start(SidecarOptions options);

  Sidecar(Sidecar&& other) noexcept;
  Sidecar& operator=(Sidecar&& other) noexcept;
  Sidecar(const Sidecar&) = delete;
  Sidecar& operator=(const Sidecar&) = delete;
  // Stops the service, as stop() does.
  ~Sidecar();

  std::uint32_t pid() const;
  std::uint32_t launcherPid() const;
  std::uint16_t port() const;
  std::string url() const;  // "http://127.0.0.1:PORT"
  const std::string& token() const;

  // 200 with exactly the health body; any other reply is kHttp.
  Status checkHealth() const;
  // 204. The ticket is checked first: clientLogin begins with "!", ticket is not empty, every
  // text is valid UTF-8.
  Status putLaunchTicket(const LoginTicket& ticket) const;
  // The ticket (200), or none (404 no_launch_session).
  Result<std::optional<LoginTicket>> takeLaunchTicket() const;
  // 204. The session is checked first: pid is not 0.
  Status putPresenceSession(const PresenceSession& session) const;

  // One authorised request as it is, for tools and tests: any reply is a success here.
  Result<HttpReply> call(std::string_view method, std::string_view path,
                         std::string body = {}) const;

  // How the service ended, once it has; nothing when it still runs after timeout.
  std::optional<SidecarExit> waitForExit(std::chrono::milliseconds timeout) const;
  // Kills the service at once (SIGKILL / TerminateProcess: a request in progress gets no
  // answer) and waits for it; later calls fail with kConnection. Returns the same each time. A
  // launcher that simply exits ends the service as well, by itself, with status 0.
  SidecarExit stop();

 private:
  explicit Sidecar(std::shared_ptr<detail::SidecarState> state);
  friend struct internal::Access;

  std::shared_ptr<detail::SidecarState> state_;
};

// The records' checks at the call: a kInvalidArgument failure naming the first field that
// breaks its rule.
Status checkLoginTicket(const LoginTicket& ticket);
Status checkPresenceSession(const PresenceSession& session);

// The JSON the kit sends and reads: compact, the members in the wire order of protocol.h. The
// configuration line is ended by a line feed; it fails (kInvalidArgument) when the token or
// the client directory is not valid UTF-8. The encoders check the record first.
Result<std::string> configurationLine(const std::string& token, const std::string& clientDir);
Result<std::string> loginTicketJson(const LoginTicket& ticket);
Result<LoginTicket> parseLoginTicketJson(const std::string& json);
Result<std::string> presenceSessionJson(const PresenceSession& session);

}  // namespace kcs::kit
