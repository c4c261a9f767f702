#include "korvessa/launcher_kit/sidecar.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "korvessa/launcher_kit/secure_random.h"
#include "loopback.h"

namespace kcs::kit {
namespace {

constexpr const char* kHealthBody = R"({"ok":true,"service":"korvessa-client-services"})";
constexpr const char* kNoLaunchSessionBody = R"({"ok":false,"error":"no_launch_session"})";

// "PUT /launch/session answered 400 Bad Request {...}" for a reply other than the expected one.
Failure unexpected(const std::string& method, const std::string& path, const HttpReply& reply) {
  return fail(method + " " + path + " answered " + reply.statusText +
              (reply.body.empty() ? "" : " " + reply.body));
}

// A PUT that stores a record: the service answers 204 when it took it.
Result<HttpReply> stored(Result<HttpReply> reply, const std::string& path) {
  if (!reply.ok()) return reply;
  if (reply->status != 204) return unexpected("PUT", path, *reply);
  return reply;
}

std::string printable(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

Result<std::string> configurationLine(const std::string& token, const std::string& clientDir) {
  nlohmann::ordered_json config = {{"token", token}, {"clientDir", clientDir}};
  try {
    return config.dump() + "\n";
  } catch (const nlohmann::json::exception&) {
    return fail("the token or the client directory is not valid UTF-8");
  }
}

std::string loginTicketJson(const LoginTicket& ticket) {
  nlohmann::ordered_json json = {{"username", ticket.username},
                                 {"clientLogin", ticket.clientLogin},
                                 {"ticket", ticket.ticket},
                                 {"expiresAt", ticket.expiresAt},
                                 {"ttlSeconds", ticket.ttlSeconds}};
  // Invalid UTF-8 goes out replaced rather than throwing; the service would refuse it anyway.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<LoginTicket> parseLoginTicketJson(const std::string& json) {
  nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return fail("the ticket is not a JSON object");
  LoginTicket ticket;
  const std::pair<const char*, std::string*> texts[] = {{"username", &ticket.username},
                                                        {"clientLogin", &ticket.clientLogin},
                                                        {"ticket", &ticket.ticket},
                                                        {"expiresAt", &ticket.expiresAt}};
  for (const auto& [name, field] : texts) {
    auto member = value.find(name);
    if (member == value.end() || !member->is_string()) {
      return fail(std::string("the ticket has no text member ") + name);
    }
    *field = member->get<std::string>();
  }
  auto ttl = value.find("ttlSeconds");
  if (ttl == value.end() || !ttl->is_number_unsigned()) {
    return fail("the ticket has no unsigned member ttlSeconds");
  }
  ticket.ttlSeconds = ttl->get<std::uint64_t>();
  return ticket;
}

std::string presenceSessionJson(const PresenceSession& session) {
  return nlohmann::ordered_json{{"pid", session.pid}, {"logOffset", session.logOffset}}.dump();
}

Result<Sidecar> Sidecar::start(SidecarOptions options) {
  Sidecar sidecar;
  sidecar.token_ = std::move(options.token);
  if (sidecar.token_.empty()) {
    Result<std::string> token = generateAccessToken();
    if (!token.ok()) return fail("no access token: " + token.error());
    sidecar.token_ = std::move(token).value();
  }
  Result<std::string> line = configurationLine(sidecar.token_, options.clientDir);
  if (!line.ok()) return fail(line.error());
  sidecar.configuration_ = std::move(line).value();
  sidecar.launcherPid_ =
      options.launcherPid != 0 ? options.launcherPid : detail::currentProcessId();

  ChildOptions child;
  child.pipeStderr = options.pipeDiagnostics;
  child.environment = std::move(options.environment);
  auto process = ChildProcess::start(
      options.servicePath, {"--launcher-pid", std::to_string(sidecar.launcherPid_)}, child);
  if (!process.ok()) return fail("the service could not be started: " + process.error());
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
      return fail("the service did not announce its address within " +
                  std::to_string(options.announceTimeoutMs) + " ms");
    }
    std::string reason;
    if (options.pipeDiagnostics) {
      Result<std::string> diagnostic = sidecar.process_->readStderrLine(500);
      if (diagnostic.ok()) reason = " (" + printable(*diagnostic) + ")";
    }
    if (reason.empty() && !written.ok()) reason = " (it did not take the configuration line)";
    return fail("the service ended with status " + std::to_string(*status) +
                " before announcing its address" + reason);
  }
  sidecar.announcement_ = std::move(announced).value();
  Result<std::uint16_t> port = parseAnnouncedPort(sidecar.announcement_);
  if (!port.ok()) {
    sidecar.stop();
    return fail("the service announced \"" + printable(sidecar.announcement_) +
                "\" instead of its address");
  }
  sidecar.port_ = *port;
  return sidecar;
}

Result<HttpReply> Sidecar::call(const std::string& method, const std::string& path,
                                const std::string& body) const {
  HttpCall request;
  request.method = method;
  request.path = path;
  request.token = token_;
  request.body = body;
  Result<HttpReply> reply = kit::request(port_, request);
  if (!reply.ok()) return fail(method + " " + path + " failed: " + reply.error());
  return reply;
}

Result<HttpReply> Sidecar::checkHealth() const {
  Result<HttpReply> reply = call("GET", "/health");
  if (!reply.ok()) return reply;
  if (reply->status != 200 || reply->body != kHealthBody) return unexpected("GET", "/health", *reply);
  return reply;
}

Result<HttpReply> Sidecar::putLaunchTicket(const LoginTicket& ticket) const {
  return stored(call("PUT", "/launch/session", loginTicketJson(ticket)), "/launch/session");
}

Result<TakenTicket> Sidecar::takeLaunchTicket() const {
  Result<HttpReply> reply = call("GET", "/launch/session");
  if (!reply.ok()) return fail(reply.error());
  TakenTicket taken;
  if (reply->status == 404 && reply->body == kNoLaunchSessionBody) {
    taken.reply = std::move(reply).value();
    return taken;
  }
  if (reply->status != 200) return unexpected("GET", "/launch/session", *reply);
  Result<LoginTicket> ticket = parseLoginTicketJson(reply->body);
  if (!ticket.ok()) return unexpected("GET", "/launch/session", *reply);
  taken.ticket = std::move(ticket).value();
  taken.reply = std::move(reply).value();
  return taken;
}

Result<HttpReply> Sidecar::putPresenceSession(const PresenceSession& session) const {
  return stored(call("PUT", "/presence/session", presenceSessionJson(session)), "/presence/session");
}

Result<std::string> Sidecar::readDiagnosticLine(unsigned timeoutMs) {
  return process_->readStderrLine(timeoutMs);
}

std::optional<int> Sidecar::waitForExit(unsigned timeoutMs) { return process_->wait(timeoutMs); }

void Sidecar::stop() {
  if (process_) process_->kill();
}

}  // namespace kcs::kit
