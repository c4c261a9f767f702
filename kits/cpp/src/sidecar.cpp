#include "korvessa/launcher_kit/sidecar.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "diagnostics.h"
#include "korvessa/launcher_kit/child_process.h"
#include "korvessa/launcher_kit/protocol.h"
#include "korvessa/launcher_kit/secure_random.h"
#include "korvessa/launcher_kit/sidecar_access.h"
#include "loopback.h"

namespace kcs::kit {
namespace detail {

// What a Sidecar and its threads share. The watcher learns of the service's end and reaps it;
// the diagnostics have threads of their own. Everything above `lock` is fixed once started.
struct SidecarState {
  explicit SidecarState(Diagnostics::Handler handler) : diagnostics(std::move(handler)) {}
  ~SidecarState() {
    if (watcher.joinable()) (void)stop();
  }
  SidecarState(const SidecarState&) = delete;
  SidecarState& operator=(const SidecarState&) = delete;

  // Kills the service unless it has ended, waits for its end and for the threads.
  SidecarExit stop();
  // How the service ended, once the watcher has seen it.
  std::optional<SidecarExit> ended() {
    std::lock_guard<std::mutex> guard(lock);
    return exit;
  }
  // Fails with kConnection, saying how, once the service has ended.
  Status checkRunning(const std::string& what) {
    std::optional<SidecarExit> end = ended();
    if (!end) return Status::success();
    Failure failure =
        fail(Code::kConnection, what + ": the service has ended " + end->describe());
    failure.exitStatus = end->exitStatus;
    failure.signal = end->signal;
    return failure;
  }

  std::unique_ptr<ChildProcess> process;
  std::uint32_t pid = 0;
  std::uint32_t launcherPid = 0;
  std::uint16_t port = 0;
  std::string token;
  unsigned requestTimeoutMs = 0;

  std::mutex lock;
  std::condition_variable endChanged;
  std::optional<SidecarExit> exit;  // set by the watcher
  bool killed = false;              // stop() sent the kill
  std::atomic<bool> processEnded{false};
  std::thread watcher;

  std::mutex stopping;  // one stop() at a time; held while threads are joined
  bool stopped = false;
  Diagnostics diagnostics;
};

namespace {

// The watcher's body: waits for the end, then reaps and tells everyone waiting.
void watch(SidecarState& state) {
  for (;;) {
    try {
      state.process->awaitEnd();
    } catch (...) {
      // Nothing in awaitEnd throws; the loop below copes either way.
    }
    {
      std::lock_guard<std::mutex> guard(state.lock);
      if (state.process->wait(0)) {
        const ChildEnd end = state.process->end().value_or(ChildEnd{});
        state.exit = SidecarExit{end.exitStatus, end.signal, state.killed};
        state.processEnded = true;
        break;
      }
    }
    // Only a failing system gets here: the wait gave up without an end.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  state.endChanged.notify_all();
}

}  // namespace

SidecarExit SidecarState::stop() {
  std::lock_guard<std::mutex> one(stopping);
  {
    std::unique_lock<std::mutex> guard(lock);
    if (!exit) {
      process->terminate();
      killed = true;
    }
    endChanged.wait(guard, [this] { return exit.has_value(); });
  }
  if (!stopped) {
    stopped = true;
    diagnostics.stopReading(true);
    diagnostics.stopDelivering();
    if (watcher.joinable()) watcher.join();
  }
  std::lock_guard<std::mutex> guard(lock);
  return *exit;
}

}  // namespace detail

namespace {

using protocol::Route;

constexpr std::size_t kLongestAnnouncement = 1024;
constexpr auto kLongestTimeout = std::chrono::milliseconds(INT_MAX);

// "PUT /launch/session answered 400 Bad Request {...}" for a reply other than the expected one.
Failure unexpected(const Route& route, const HttpReply& reply) {
  Failure failure = fail(Code::kHttp, std::string(route.method) + " " + std::string(route.path) +
                                          " answered " + reply.statusText +
                                          (reply.body.empty() ? "" : " " + reply.body));
  failure.httpStatus = reply.status;
  failure.httpBody = reply.body;
  return failure;
}

// A record's PUT: the record's JSON, or why it was refused, sent to ROUTE, which answers 204.
Status store(const Sidecar& sidecar, const Route& route, Result<std::string> json) {
  if (!json.ok()) return json.failure();
  Result<HttpReply> reply = sidecar.call(route.method, route.path, std::move(json).value());
  if (!reply.ok()) return reply.failure();
  if (reply->status != 204) return unexpected(route, *reply);
  return Status::success();
}

bool isTokenText(const std::string& token) {
  if (token.size() < kMinimumTokenBytes) return false;
  for (char c : token) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

Status checkTimeout(const char* option, std::chrono::milliseconds timeout) {
  if (timeout.count() > 0 && timeout <= kLongestTimeout) return Status::success();
  return refuse(option, "must be from 1 ms to " + std::to_string(kLongestTimeout.count()) + " ms");
}

// The options a start cannot go on with, named; the token's value never appears.
Status checkOptions(const SidecarOptions& options) {
  if (options.servicePath && options.servicePath->empty()) return refuse("servicePath", "is empty");
  if (options.token && !isTokenText(*options.token)) {
    return refuse("token", "must be at least " + std::to_string(kMinimumTokenBytes) +
                               " bytes of printable ASCII without spaces (0x21 to 0x7E)");
  }
  // 0 would name no process to the service (and a process group to kill()).
  if (options.launcherPid && *options.launcherPid == 0) {
    return refuse("launcherPid", "must be a process id from 1 to 4294967295");
  }
  if (Status s = checkTimeout("announceTimeout", options.announceTimeout); !s.ok()) return s;
  return checkTimeout("requestTimeout", options.requestTimeout);
}

// A line of the service's for a failure: without its line break, and without the token, which
// a program that echoes its input would otherwise put into the launcher's log.
std::string printable(std::string line, const std::string& token) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (std::size_t at = line.find(token); !token.empty() && at != std::string::npos;
       at = line.find(token, at)) {
    line.replace(at, token.size(), "<token>");
  }
  return line;
}

// Writes the configuration line and reads the address line; every failure leaves the service
// stopped.
Result<std::uint16_t> announce(detail::SidecarState& state, const std::string& configuration,
                               std::chrono::milliseconds timeout) {
  // The service reads exactly one line and never looks at its input again.
  const Status written = state.process->writeStdin(configuration);
  state.process->closeStdin();

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto timeoutMs = static_cast<unsigned>(timeout.count());
  Result<std::string> first = state.process->readStdoutLine(timeoutMs, kLongestAnnouncement);
  if (first.ok()) {
    Result<std::uint16_t> port = first->back() == '\n' ? parseAnnouncedPort(*first)
                                                       : fail("the first line is too long");
    if (port.ok()) return port;
    (void)state.stop();
    return fail(Code::kBadAnnouncement, "the service announced \"" +
                                            printable(*first, state.token) +
                                            "\" instead of its address");
  }
  if (first.code() == Code::kEndOfStream) {
    // Its output ended: it is ending, or it goes on without an address until the time-out.
    std::unique_lock<std::mutex> guard(state.lock);
    state.endChanged.wait_until(guard, deadline, [&state] { return state.exit.has_value(); });
    const bool endedByItself = state.exit.has_value();
    guard.unlock();
    if (endedByItself) {
      const SidecarExit end = state.stop();
      Failure failure = fail(Code::kExited, "the service ended " + end.describe() +
                                                " before announcing its address");
      for (const std::string& line : state.diagnostics.lastLines()) {
        failure.diagnostics.push_back(printable(line, state.token));
      }
      if (!failure.diagnostics.empty()) {
        failure.text += " (" + failure.diagnostics.back() + ")";
      } else if (!written.ok()) {
        failure.text += " (it did not take the configuration line)";
      }
      failure.exitStatus = end.exitStatus;
      failure.signal = end.signal;
      return failure;
    }
  }
  (void)state.stop();
  return fail(Code::kAnnounceTimeout, "the service did not announce its address within " +
                                          std::to_string(timeoutMs) + " ms");
}

}  // namespace

std::string SidecarExit::describe() const {
  if (killed) return "stopped by this kit";
  if (signal) return "by signal " + std::to_string(*signal);
  if (exitStatus) return "with status " + std::to_string(*exitStatus);
  return "with a status that was lost (another part of this process reaped it)";
}

Result<Sidecar> Sidecar::start(SidecarOptions options) {
  if (Status checked = checkOptions(options); !checked.ok()) return checked.failure();
  std::string token;
  if (options.token) {
    token = std::move(*options.token);
  } else {
    Result<std::string> fresh = generateAccessToken();
    if (!fresh.ok()) return fail("no access token: " + fresh.error());
    token = std::move(fresh).value();
  }
  Result<std::string> configuration = configurationLine(token, options.clientDir);
  if (!configuration.ok()) return configuration.failure();

  auto state = std::make_shared<detail::SidecarState>(std::move(options.onDiagnostic));
  state->token = std::move(token);
  state->launcherPid = options.launcherPid.value_or(detail::currentProcessId());
  state->requestTimeoutMs = static_cast<unsigned>(options.requestTimeout.count());

  ChildOptions child;
  child.environment = std::move(options.environment);
  auto process = ChildProcess::start(options.servicePath.value_or(defaultServicePath()),
                                     {"--launcher-pid", std::to_string(state->launcherPid)}, child);
  if (!process.ok()) return process.failure();
  state->process = std::move(process).value();
  state->pid = state->process->pid();
  try {
    state->watcher = std::thread(detail::watch, std::ref(*state));
  } catch (const std::system_error& error) {
    state->process->kill();
    return fail(std::string("no thread to watch the service: ") + error.what());
  }
  try {
    state->diagnostics.begin(*state->process, state->processEnded);
  } catch (const std::system_error& error) {
    (void)state->stop();
    return fail(std::string("no thread to read the service's diagnostics: ") + error.what());
  }

  Result<std::uint16_t> port = announce(*state, *configuration, options.announceTimeout);
  if (!port.ok()) return port.failure();
  state->port = *port;
  return Sidecar(std::move(state));
}

Sidecar::Sidecar(std::shared_ptr<detail::SidecarState> state) : state_(std::move(state)) {}
Sidecar::Sidecar(Sidecar&& other) noexcept = default;
Sidecar& Sidecar::operator=(Sidecar&& other) noexcept = default;
Sidecar::~Sidecar() = default;  // the state stops the service as it goes

std::uint32_t Sidecar::pid() const { return state_ ? state_->pid : 0; }
std::uint32_t Sidecar::launcherPid() const { return state_ ? state_->launcherPid : 0; }
std::uint16_t Sidecar::port() const { return state_ ? state_->port : 0; }
std::string Sidecar::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

const std::string& Sidecar::token() const {
  static const std::string* const none = new std::string;  // never destroyed: no exit-time order
  return state_ ? state_->token : *none;
}

Result<HttpReply> Sidecar::call(std::string_view method, std::string_view path,
                                std::string body) const {
  const std::string what = std::string(method) + " " + std::string(path);
  if (!state_) return fail(Code::kConnection, what + ": this Sidecar holds no service");
  if (Status ended = state_->checkRunning(what); !ended.ok()) return ended.failure();
  HttpCall request;
  request.method = std::string(method);
  request.path = std::string(path);
  request.token = state_->token;
  request.body = std::move(body);
  request.timeoutMs = state_->requestTimeoutMs;
  Result<HttpReply> reply = kit::request(state_->port, request);
  if (!reply.ok()) {
    // The service may have ended while the request was on its way.
    if (Status ended = state_->checkRunning(what); !ended.ok()) return ended.failure();
    return fail(reply.code(), what + " failed: " + reply.error());
  }
  return reply;
}

Status Sidecar::checkHealth() const {
  Result<HttpReply> reply = call(protocol::kHealth.method, protocol::kHealth.path);
  if (!reply.ok()) return reply.failure();
  if (reply->status != 200 || reply->body != protocol::kHealthBody) {
    return unexpected(protocol::kHealth, *reply);
  }
  return Status::success();
}

Status Sidecar::putLaunchTicket(const LoginTicket& ticket) const {
  return store(*this, protocol::kPutLaunchTicket, loginTicketJson(ticket));
}

Result<std::optional<LoginTicket>> Sidecar::takeLaunchTicket() const {
  const Route& route = protocol::kTakeLaunchTicket;
  Result<HttpReply> reply = call(route.method, route.path);
  if (!reply.ok()) return reply.failure();
  if (reply->status == 404 && reply->body == protocol::kNoLaunchSessionBody) {
    return std::optional<LoginTicket>();
  }
  if (reply->status != 200) return unexpected(route, *reply);
  Result<LoginTicket> ticket = parseLoginTicketJson(reply->body);
  if (!ticket.ok()) return unexpected(route, *reply);
  return std::optional<LoginTicket>(std::move(ticket).value());
}

Status Sidecar::putPresenceSession(const PresenceSession& session) const {
  return store(*this, protocol::kPutPresenceSession, presenceSessionJson(session));
}

std::optional<SidecarExit> Sidecar::waitForExit(std::chrono::milliseconds timeout) const {
  if (!state_) return SidecarExit{};
  std::unique_lock<std::mutex> guard(state_->lock);
  state_->endChanged.wait_for(guard, timeout, [this] { return state_->exit.has_value(); });
  return state_->exit;
}

SidecarExit Sidecar::stop() { return state_ ? state_->stop() : SidecarExit{}; }

void internal::Access::dropDiagnostics(Sidecar& sidecar) {
  if (!sidecar.state_) return;
  // The reader is gone before the pipe closes: nothing reads a closed descriptor.
  sidecar.state_->diagnostics.stopReading(false);
  sidecar.state_->process->closeStderr();
}

}  // namespace kcs::kit
