// The launcher's side of korvessa-client-services in one unit: start the service beside the
// launcher, hand it the configuration line, learn its address, call its routes, stop it.
// Launchers link it as korvessa::launcher_kit; the demo launcher and the end-to-end tests use it
// the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/result.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/http_client.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs::kit {

// The launch ticket and the presence session, as the wire contract defines them.
using protocol::LoginTicket;
using protocol::PresenceSession;

// Sidecar::start checks these before it starts anything; a refused option fails with
// Code::kInvalidArgument and a text that names the option (never the token's value).
struct SidecarOptions {
  std::string servicePath;      // the korvessa-client-services executable; not empty
  std::string clientDir;        // the game client directory (where the proxy log lies)
  std::string token;            // the access token, at least 32 bytes; empty: a fresh random one
  // The process the service stays beside, from 1 to 2147483647 (INT_MAX); empty: this process.
  std::optional<std::uint32_t> launcherPid;
  std::vector<std::string> environment;  // extra "NAME=value" entries for the service
  unsigned announceTimeoutMs = 10000;    // how long to wait for the address line; above 0
  // Pipe the service's standard error so that readDiagnosticLine sees it. Whoever pipes it must
  // keep reading it, or a full pipe ends up holding the service's writer; unpiped, the
  // diagnostics go to this process's standard error.
  bool pipeDiagnostics = false;
};

// The configuration line for the service's standard input: compact JSON with proper escaping,
// ended by a line feed. Fails when token or clientDir is not valid UTF-8.
Result<std::string> configurationLine(const std::string& token, const std::string& clientDir);

// What a GET of the launch ticket found.
struct TakenTicket {
  std::optional<LoginTicket> ticket;  // empty when the service held none (404 no_launch_session)
  HttpReply reply;
};

// The shortest access token the service takes.
inline constexpr std::size_t kMinimumTokenBytes = 32;

// Every failure of Sidecar carries a code (result.code()) to branch on:
//   kInvalidArgument  an option or a ticket refused before anything was started or sent
//   kSpawn            the executable could not be started (missing, a directory, not runnable)
//   kExited           the service ended before it announced its address
//   kAnnounceTimeout  no address line within announceTimeoutMs (the service is stopped)
//   kBadAnnouncement  the first line on standard output is not an address line
//   kHttp             a reply other than the one the route promises
//   kConnection       the request could not be made or its reply not read; at once, without a
//                     connection attempt, once the service has ended (by stop() or otherwise)
class Sidecar {
 public:
  // Starts the service with "--launcher-pid", writes the configuration line and waits for the
  // address line. On failure the service is not left running.
  static Result<Sidecar> start(SidecarOptions options);

  std::uint32_t pid() const { return process_->pid(); }
  std::uint32_t launcherPid() const { return launcherPid_; }
  std::uint16_t port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& configuration() const { return configuration_; }  // the line written
  const std::string& announcement() const { return announcement_; }    // the line read

  // One authorised request to the service. Any reply is a success here; the caller judges it.
  // Once the service has ended, fails at once with kConnection saying how it ended.
  Result<HttpReply> call(const std::string& method, const std::string& path,
                         const std::string& body = {}) const;

  // The routes, each checked against the reply it must get.
  Result<HttpReply> checkHealth() const;                              // 200 with the health body
  // 204; a ticket whose texts are not valid UTF-8 is refused (kInvalidArgument), not sent.
  Result<HttpReply> putLaunchTicket(const LoginTicket& ticket) const;
  Result<TakenTicket> takeLaunchTicket() const;                         // 200 ticket, or 404
  Result<HttpReply> putPresenceSession(const PresenceSession& session) const;  // 204

  // The next line the service wrote to standard error (needs pipeDiagnostics).
  Result<std::string> readDiagnosticLine(unsigned timeoutMs);
  // Stops reading the service's standard error for good. The service drops its diagnostics
  // from then on and goes on serving; nothing fills up.
  void closeDiagnostics();
  // The service's exit status once it has ended, or nothing after timeoutMs.
  std::optional<int> waitForExit(unsigned timeoutMs);
  // Kills the service at once (SIGKILL / TerminateProcess): a request in progress gets no
  // answer, and later calls fail with kConnection. A launcher that simply exits ends the
  // service as well, by itself, with status 0.
  void stop();

 private:
  Sidecar() = default;
  // Fails with kConnection, saying how, once the service has ended.
  Status checkRunning(const std::string& what) const;

  std::unique_ptr<ChildProcess> process_;
  bool stopped_ = false;  // stop() ended it
  std::uint32_t launcherPid_ = 0;
  std::uint16_t port_ = 0;
  std::string token_;
  std::string configuration_;
  std::string announcement_;
};

// Ticket JSON as a client sends it and reads it back (object form, field order). Fails with
// kInvalidArgument when a text of the ticket is not valid UTF-8 (the text names the field only).
Result<std::string> loginTicketJson(const LoginTicket& ticket);
Result<LoginTicket> parseLoginTicketJson(const std::string& json);
std::string presenceSessionJson(const PresenceSession& session);

}  // namespace kcs::kit
