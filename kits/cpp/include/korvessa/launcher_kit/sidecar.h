// The launcher's side of korvessa-client-services in one unit: start the service beside the
// launcher, hand it the configuration line, learn its address, call its routes, stop it.
// Launchers link it as korvessa::launcher_kit; the demo launcher and the end-to-end tests use it
// the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvessa/launcher_kit/result.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/http_client.h"

namespace kcs::kit {

// A launch ticket as PUT /launch/session takes it and GET /launch/session hands it back. The
// service accepts it when clientLogin begins with "!" and ticket is not empty; expiresAt and
// ttlSeconds are kept for the game client, unread.
struct LoginTicket {
  std::string username;
  std::string clientLogin;
  std::string ticket;
  std::string expiresAt;
  std::uint64_t ttlSeconds = 0;
};

// The running game as PUT /presence/session registers it: its process id (not 0) and the byte
// offset in the proxy log where its own lines begin.
struct PresenceSession {
  std::uint32_t pid = 0;
  std::uint64_t logOffset = 0;
};

struct SidecarOptions {
  std::string servicePath;      // the korvessa-client-services executable
  std::string clientDir;        // the game client directory (where the proxy log lies)
  std::string token;            // the access token; empty: a fresh random one
  std::uint32_t launcherPid = 0;  // the process the service stays beside; 0: this process
  std::vector<std::string> environment;  // extra "NAME=value" entries for the service
  unsigned announceTimeoutMs = 10000;    // how long to wait for the address line
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
  Result<HttpReply> call(const std::string& method, const std::string& path,
                         const std::string& body = {}) const;

  // The routes, each checked against the reply it must get.
  Result<HttpReply> checkHealth() const;                              // 200 with the health body
  Result<HttpReply> putLaunchTicket(const LoginTicket& ticket) const;  // 204
  Result<TakenTicket> takeLaunchTicket() const;                         // 200 ticket, or 404
  Result<HttpReply> putPresenceSession(const PresenceSession& session) const;  // 204

  // The next line the service wrote to standard error (needs pipeDiagnostics).
  Result<std::string> readDiagnosticLine(unsigned timeoutMs);
  // The service's exit status once it has ended, or nothing after timeoutMs.
  std::optional<int> waitForExit(unsigned timeoutMs);
  // Ends the service at once. A launcher that simply exits ends it as well, with status 0.
  void stop();

 private:
  Sidecar() = default;

  std::unique_ptr<ChildProcess> process_;
  std::uint32_t launcherPid_ = 0;
  std::uint16_t port_ = 0;
  std::string token_;
  std::string configuration_;
  std::string announcement_;
};

// Ticket JSON as a client sends it and reads it back (object form, field order).
std::string loginTicketJson(const LoginTicket& ticket);
Result<LoginTicket> parseLoginTicketJson(const std::string& json);
std::string presenceSessionJson(const PresenceSession& session);

}  // namespace kcs::kit
