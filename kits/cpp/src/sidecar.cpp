#include "korvessa/launcher_kit/sidecar.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <utility>

#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/secure_random.h"
#include "loopback.h"

namespace kcs::kit {
namespace {

using protocol::Route;

// "PUT /launch/session answered 400 Bad Request {...}" for a reply other than the expected one.
Failure unexpected(const Route& route, const HttpReply& reply) {
  return fail(Code::kHttp, std::string(route.method) + " " + std::string(route.path) +
                               " answered " + reply.statusText +
                               (reply.body.empty() ? "" : " " + reply.body));
}

// One authorised call of a route.
Result<HttpReply> call(const Sidecar& sidecar, const Route& route, const std::string& body = {}) {
  return sidecar.call(std::string(route.method), std::string(route.path), body);
}

// A PUT that stores a record: the service answers 204 when it took it.
Result<HttpReply> stored(Result<HttpReply> reply, const Route& route) {
  if (!reply.ok()) return reply;
  if (reply->status != 204) return unexpected(route, *reply);
  return reply;
}

bool validUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// The options a start cannot go on with, named; the token's value never appears.
Status checkOptions(const SidecarOptions& options) {
  if (options.servicePath.empty()) return fail(Code::kInvalidArgument, "servicePath is empty");
  if (!options.token.empty() && options.token.size() < kMinimumTokenBytes) {
    return fail(Code::kInvalidArgument,
                "token is shorter than " + std::to_string(kMinimumTokenBytes) +
                    " bytes (leave it empty for a fresh random one)");
  }
  // 0 would name no process to the service (and a process group to kill()); leave the option
  // empty for this process.
  if (options.launcherPid &&
      (*options.launcherPid == 0 || *options.launcherPid > static_cast<std::uint32_t>(INT_MAX))) {
    return fail(Code::kInvalidArgument, "launcherPid " + std::to_string(*options.launcherPid) +
                                            " is not a process id (from 1 to 2147483647)");
  }
  if (options.announceTimeoutMs == 0) {
    return fail(Code::kInvalidArgument, "announceTimeoutMs must be positive");
  }
  return Status::success();
}

// A line of the service's for a failure text: without its line break, and without the token,
// which a program that echoes its input would otherwise put into the launcher's log.
std::string printable(std::string line, const std::string& token) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (std::size_t at = line.find(token); !token.empty() && at != std::string::npos;
       at = line.find(token, at)) {
    line.replace(at, token.size(), "<token>");
  }
  return line;
}

}  // namespace

Result<std::string> configurationLine(const std::string& token, const std::string& clientDir) {
  nlohmann::ordered_json config = {{protocol::kToken, token}, {protocol::kClientDir, clientDir}};
  try {
    return config.dump() + "\n";
  } catch (const nlohmann::json::exception&) {
    return fail(Code::kInvalidArgument, "the token or the client directory is not valid UTF-8");
  }
}

Result<std::string> loginTicketJson(const LoginTicket& ticket) {
  const std::pair<std::string_view, const std::string*> texts[] = {
      {protocol::kUsername, &ticket.username},
      {protocol::kClientLogin, &ticket.clientLogin},
      {protocol::kTicket, &ticket.ticket},
      {protocol::kExpiresAt, &ticket.expiresAt}};
  for (const auto& [name, text] : texts) {
    if (!validUtf8(*text)) {
      return fail(Code::kInvalidArgument,
                  "the ticket's " + std::string(name) + " is not valid UTF-8");
    }
  }
  nlohmann::ordered_json json = {{protocol::kUsername, ticket.username},
                                 {protocol::kClientLogin, ticket.clientLogin},
                                 {protocol::kTicket, ticket.ticket},
                                 {protocol::kExpiresAt, ticket.expiresAt},
                                 {protocol::kTtlSeconds, ticket.ttlSeconds}};
  return json.dump();
}

Result<LoginTicket> parseLoginTicketJson(const std::string& json) {
  nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return fail("the ticket is not a JSON object");
  LoginTicket ticket;
  const std::pair<std::string_view, std::string*> texts[] = {
      {protocol::kUsername, &ticket.username},
      {protocol::kClientLogin, &ticket.clientLogin},
      {protocol::kTicket, &ticket.ticket},
      {protocol::kExpiresAt, &ticket.expiresAt}};
  for (const auto& [name, field] : texts) {
    auto member = value.find(name);
    if (member == value.end() || !member->is_string()) {
      return fail("the ticket has no text member " + std::string(name));
    }
    *field = member->get<std::string>();
  }
  auto ttl = value.find(protocol::kTtlSeconds);
  if (ttl == value.end() || !ttl->is_number_unsigned()) {
    return fail("the ticket has no unsigned member ttlSeconds");
  }
  ticket.ttlSeconds = ttl->get<std::uint64_t>();
  return ticket;
}

std::string presenceSessionJson(const PresenceSession& session) {
  return nlohmann::ordered_json{{protocol::kPid, session.pid},
                                {protocol::kLogOffset, session.logOffset}}
      .dump();
}

Result<Sidecar> Sidecar::start(SidecarOptions options) {
  if (Status checked = checkOptions(options); !checked.ok()) return checked.failure();
  Sidecar sidecar;
  sidecar.token_ = std::move(options.token);
  if (sidecar.token_.empty()) {
    Result<std::string> token = generateAccessToken();
    if (!token.ok()) return fail("no access token: " + token.error());
    sidecar.token_ = std::move(token).value();
  }
  Result<std::string> line = configurationLine(sidecar.token_, options.clientDir);
  if (!line.ok()) return line.failure();
  sidecar.configuration_ = std::move(line).value();
  sidecar.launcherPid_ = options.launcherPid.value_or(detail::currentProcessId());

  ChildOptions child;
  child.pipeStderr = options.pipeDiagnostics;
  child.environment = std::move(options.environment);
  auto process = ChildProcess::start(
      options.servicePath, {"--launcher-pid", std::to_string(sidecar.launcherPid_)}, child);
  if (!process.ok()) return process.failure();
  sidecar.process_ = std::move(process).value();

  // The service reads exactly one line and never looks at its input again.
  Status written = sidecar.process_->writeStdin(sidecar.configuration_);
  sidecar.process_->closeStdin();

  Result<std::string> announced = sidecar.process_->readStdoutLine(options.announceTimeoutMs);
  if (!announced.ok()) {
    // Either it refused the start (an exit status and one diagnostic say why) or it hangs.
    std::optional<int> status = sidecar.process_->wait(1000);
    if (!status) {
      sidecar.stop();
      return fail(Code::kAnnounceTimeout, "the service did not announce its address within " +
                  std::to_string(options.announceTimeoutMs) + " ms");
    }
    std::string reason;
    if (options.pipeDiagnostics) {
      Result<std::string> diagnostic = sidecar.process_->readStderrLine(500);
      if (diagnostic.ok()) reason = " (" + printable(*diagnostic, sidecar.token_) + ")";
    }
    if (reason.empty() && !written.ok()) reason = " (it did not take the configuration line)";
    return fail(Code::kExited, "the service ended " + sidecar.process_->howEnded() +
                                   " before announcing its address" + reason);
  }
  sidecar.announcement_ = std::move(announced).value();
  Result<std::uint16_t> port = parseAnnouncedPort(sidecar.announcement_);
  if (!port.ok()) {
    sidecar.stop();
    return fail(Code::kBadAnnouncement, "the service announced \"" +
                                            printable(sidecar.announcement_, sidecar.token_) +
                                            "\" instead of its address");
  }
  sidecar.port_ = *port;
  return sidecar;
}

Result<HttpReply> Sidecar::call(const std::string& method, const std::string& path,
                                const std::string& body) const {
  const std::string what = method + " " + path;
  if (Status ended = checkRunning(what); !ended.ok()) return ended.failure();
  HttpCall request;
  request.method = method;
  request.path = path;
  request.token = token_;
  request.body = body;
  Result<HttpReply> reply = kit::request(port_, request);
  if (!reply.ok()) {
    // The service may have ended while the request was on its way.
    if (Status ended = checkRunning(what); !ended.ok()) return ended.failure();
    return fail(reply.code(), what + " failed: " + reply.error());
  }
  return reply;
}

Status Sidecar::checkRunning(const std::string& what) const {
  if (!process_) return fail(Code::kConnection, what + ": this Sidecar holds no service");
  if (!process_->wait(0)) return Status::success();
  return fail(Code::kConnection, what + ": the service has ended " + process_->howEnded() +
                                     (stopped_ ? " (stopped by stop())" : ""));
}

Result<HttpReply> Sidecar::checkHealth() const {
  Result<HttpReply> reply = kit::call(*this, protocol::kHealth);
  if (!reply.ok()) return reply;
  if (reply->status != 200 || reply->body != protocol::kHealthBody) {
    return unexpected(protocol::kHealth, *reply);
  }
  return reply;
}

Result<HttpReply> Sidecar::putLaunchTicket(const LoginTicket& ticket) const {
  Result<std::string> json = loginTicketJson(ticket);
  if (!json.ok()) return json.failure();
  return stored(kit::call(*this, protocol::kPutLaunchTicket, *json), protocol::kPutLaunchTicket);
}

Result<TakenTicket> Sidecar::takeLaunchTicket() const {
  const Route& route = protocol::kTakeLaunchTicket;
  Result<HttpReply> reply = kit::call(*this, route);
  if (!reply.ok()) return reply.failure();
  TakenTicket taken;
  if (reply->status == 404 && reply->body == protocol::kNoLaunchSessionBody) {
    taken.reply = std::move(reply).value();
    return taken;
  }
  if (reply->status != 200) return unexpected(route, *reply);
  Result<LoginTicket> ticket = parseLoginTicketJson(reply->body);
  if (!ticket.ok()) return unexpected(route, *reply);
  taken.ticket = std::move(ticket).value();
  taken.reply = std::move(reply).value();
  return taken;
}

Result<HttpReply> Sidecar::putPresenceSession(const PresenceSession& session) const {
  return stored(kit::call(*this, protocol::kPutPresenceSession, presenceSessionJson(session)),
                protocol::kPutPresenceSession);
}

Result<std::string> Sidecar::readDiagnosticLine(unsigned timeoutMs) {
  return process_->readStderrLine(timeoutMs);
}

void Sidecar::closeDiagnostics() { process_->closeStderr(); }

std::optional<int> Sidecar::waitForExit(unsigned timeoutMs) { return process_->wait(timeoutMs); }

void Sidecar::stop() {
  if (!process_) return;
  stopped_ = stopped_ || !process_->wait(0);
  process_->kill();
}

}  // namespace kcs::kit
