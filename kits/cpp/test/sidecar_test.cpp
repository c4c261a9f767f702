// The launcher kit against the built service and, on POSIX, against stand-in programs: every row
// of the kits' shared table (kits/cases.json) that this kit can run, then what only it has.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include "korvessa/launcher_kit/sidecar.h"
#include "platform/platform.h"

namespace kcs::kit {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

const json& table() {
  static const json cases = json::parse(std::ifstream(KCS_CASES_PATH));
  return cases;
}

std::string tableToken() { return table()["token"].get<std::string>(); }

// Whether a number of the table is one the C++ field's type holds. The others are the type's
// own refusal (kits/cases.json, "about"): their rows are skipped.
template <class T>
bool holds(const json& value) {
  return value.is_number_unsigned() && value.get<std::uint64_t>() <= std::numeric_limits<T>::max();
}

bool runsHere(const json& row) {
#ifdef _WIN32
  return !row.contains("standIn") && !row.value("posixOnly", false);
#else
  (void)row;
  return true;
#endif
}

template <class T>
Status statusOf(const Result<T>& result) {
  return result.ok() ? Status::success() : Status(result.failure());
}

std::string kindOf(Code code) { return code == Code::kInvalidArgument ? "argument" : codeName(code); }

// The table's option names in this kit's spelling.
std::string optionName(const std::string& name) {
  if (name == "announceTimeoutMs") return "announceTimeout";
  if (name == "requestTimeoutMs") return "requestTimeout";
  return name;
}

// A failure against a row's "error": its kind and what it carries; no member holds a token.
void expectFailure(const Failure& failure, const json& error, const std::string& token) {
  EXPECT_EQ(kindOf(failure.code), error.at("kind").get<std::string>()) << failure.text;
  if (error.contains("option")) {
    EXPECT_EQ(failure.argument, optionName(error["option"].get<std::string>())) << failure.text;
  }
  if (error.contains("says")) {
    EXPECT_NE(failure.text.find(error["says"].get<std::string>()), std::string::npos)
        << failure.text;
  }
  if (error.contains("exitStatus")) {
    EXPECT_EQ(failure.exitStatus, error["exitStatus"].get<int>()) << failure.text;
  }
  for (const json& line : error.value("diagnostics", json::array())) {
    EXPECT_NE(std::find(failure.diagnostics.begin(), failure.diagnostics.end(), line),
              failure.diagnostics.end())
        << "no diagnostic " << line << " in " << failure.text;
  }
  std::vector<std::string> held = failure.diagnostics;
  held.insert(held.end(), {failure.text, failure.argument, failure.httpBody});
  for (const std::string& secret : {tableToken(), token}) {
    for (const std::string& text : held) {
      EXPECT_TRUE(secret.empty() || text.find(secret) == std::string::npos) << text;
    }
  }
}

// Runs one step of the table ("call", maybe "record") and checks it against "returns" or
// "error". Records with numbers the C++ types cannot hold are skipped.
void runStep(const Sidecar& sidecar, const json& step) {
  const std::string call = step.at("call").get<std::string>();
  SCOPED_TRACE(call + " " + step.value("record", json()).dump());
  const json r = step.value("record", json::object());
  auto text = [&r](const char* name) { return r.at(name).get<std::string>(); };
  Failure failure{Code::kOk, {}};
  auto take = [&failure](const Status& status) {
    if (!status.ok()) failure = status.failure();
  };
  if (call == "checkHealth") {
    take(sidecar.checkHealth());
  } else if (call == "putLaunchTicket") {
    if (!holds<std::uint64_t>(r.at("ttlSeconds"))) return;
    take(sidecar.putLaunchTicket({text("username"), text("clientLogin"), text("ticket"),
                                  text("expiresAt"), r["ttlSeconds"].get<std::uint64_t>()}));
  } else if (call == "takeLaunchTicket") {
    Result<std::optional<LoginTicket>> taken = sidecar.takeLaunchTicket();
    if (!taken.ok()) {
      failure = taken.failure();
    } else if (step.contains("returns")) {
      json got;  // null when there was none
      if (const std::optional<LoginTicket>& t = *taken) {
        got = {{"username", t->username}, {"clientLogin", t->clientLogin}, {"ticket", t->ticket},
               {"expiresAt", t->expiresAt}, {"ttlSeconds", t->ttlSeconds}};
      }
      EXPECT_EQ(got, step["returns"]);
    }
  } else if (call == "putPresenceSession") {
    const bool ours = r.at("pid") == "launcher";
    if ((!ours && !holds<std::uint32_t>(r["pid"])) || !holds<std::uint64_t>(r.at("logOffset"))) {
      return;
    }
    const std::uint32_t pid = ours ? platform::currentProcessId() : r["pid"].get<std::uint32_t>();
    take(sidecar.putPresenceSession({pid, r["logOffset"].get<std::uint64_t>()}));
  } else {
    FAIL() << "no call " << call;
  }
  if (step.contains("error")) {
    EXPECT_NE(failure.code, Code::kOk) << "succeeded";
    if (failure.code != Code::kOk) expectFailure(failure, step["error"], "");
  } else {
    EXPECT_EQ(failure.code, Code::kOk) << failure.text;
  }
}

class SidecarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    root_ = fs::temp_directory_path() / ("kcs-kit-" + std::to_string(platform::currentProcessId()) +
                                         "-" + std::to_string(++counter));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  SidecarOptions serviceOptions() const {
    SidecarOptions options;
    options.servicePath = KCS_SERVICE_PATH;
    options.clientDir = (root_ / "client").string();  // need not exist
    options.token = tableToken();
    return options;
  }

  // A shell script in place of the service that first writes its pid beside itself.
  std::string standIn(const std::string& body) {
    const fs::path path = root_ / ("stand-in-" + std::to_string(++programs_) + ".sh");
    std::ofstream(path) << "#!/bin/sh\necho $$ > '" << path.string() << ".pid'\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }

  // What the table's "service" names, in place of the service.
  std::string brokenService(const std::string& kind) {
#ifdef _WIN32
    const fs::path text = root_ / "not-runnable.exe";
    const fs::path missing = root_ / "no-such-service.exe";
#else
    const fs::path text = root_ / "not-runnable";
    const fs::path missing = root_ / "no-such-service";
#endif
    std::ofstream(text) << "not a program\n";
    if (kind == "missing") return missing.string();
    if (kind == "directory") return root_.string();
    return text.string();
  }

  // The options of a row; false for a row whose numbers the C++ types cannot hold.
  bool optionsFor(const json& row, SidecarOptions& options) {
    options = serviceOptions();
    if (row.contains("service")) options.servicePath = brokenService(row["service"]);
    if (row.contains("standIn")) options.servicePath = standIn(row["standIn"]);
    if (row.value("readBack", false)) {
      options.environment.push_back("KCS_READ_BACK=" + (root_ / "read-back").string());
    }
    const json given = row.value("options", json::object());  // kept: items() refers to it
    for (const auto& [name, value] : given.items()) {
      if (name == "token") {
        options.token = value.get<std::string>();
      } else if (name == "clientDir") {
        options.clientDir = value.get<std::string>();
      } else if (name == "servicePath") {
        options.servicePath = value.get<std::string>();
      } else if (name == "launcherPid") {
        if (!holds<std::uint32_t>(value)) return false;
        options.launcherPid = value.get<std::uint32_t>();
      } else if (name == "announceTimeoutMs" || name == "requestTimeoutMs") {
        if (!value.is_number_integer()) return false;
        (name == "announceTimeoutMs" ? options.announceTimeout : options.requestTimeout) =
            std::chrono::milliseconds(value.get<std::int64_t>());
      } else {
        ADD_FAILURE() << "no option " << name;
        return false;
      }
    }
    return true;
  }

  // A stand-in that was started is not left running.
  void expectStandInsGone() {
#ifndef _WIN32
    for (const fs::directory_entry& entry : fs::directory_iterator(root_)) {
      if (entry.path().extension() != ".pid") continue;
      pid_t pid = 0;
      std::ifstream(entry.path()) >> pid;
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      const bool running = pid > 0 && std::getline(stat, line) &&
                           line.at(line.rfind(") ") + 2) != 'Z';
      EXPECT_FALSE(running) << entry.path() << ": left running";
      fs::remove(entry.path());
    }
#endif
  }

  // The line a stand-in read, parsed with a JSON reader that is not the kit's encoder.
  void expectReadBack(const SidecarOptions& options) {
    std::string line;
    std::getline(std::ifstream(root_ / "read-back"), line);
    const json read = json::parse(line, nullptr, false);
    ASSERT_TRUE(read.is_object()) << line;
    EXPECT_EQ(read, json({{"token", *options.token}, {"clientDir", options.clientDir}})) << line;
  }

  fs::path root_;
  int programs_ = 0;
};

TEST_F(SidecarTest, TheTablesStartFailuresSayWhyAndLeaveNothingRunning) {
  json rows = table()["startFailures"];
  // What every start failure must also keep out of its fields: a token echoed to standard error.
  rows.push_back({{"name", "a program that echoes its input to standard error"},
                  {"standIn", "read line; printf '%s\\n' \"$line\" >&2; exit 7"},
                  {"error", {{"kind", "exited"}, {"exitStatus", 7}}}});
  for (const json& row : rows) {
    SCOPED_TRACE(row["name"].get<std::string>());
    SidecarOptions options;
    if (!runsHere(row) || !optionsFor(row, options)) continue;
    Result<Sidecar> sidecar = Sidecar::start(options);
    EXPECT_FALSE(sidecar.ok());
    if (sidecar.ok()) continue;
    expectFailure(sidecar.failure(), row["error"], options.token.value_or(""));
    expectStandInsGone();
    if (row.value("readBack", false)) expectReadBack(options);
  }
}

TEST_F(SidecarTest, TheTablesStartsServeAndReportTheirPort) {
  for (const json& row : table()["starts"]) {
    SCOPED_TRACE(row["name"].get<std::string>());
    SidecarOptions options;
    if (!runsHere(row) || !optionsFor(row, options)) continue;
    Result<Sidecar> sidecar = Sidecar::start(options);
    EXPECT_TRUE(sidecar.ok()) << sidecar.error();
    if (!sidecar.ok()) continue;
    if (row.contains("port")) {
      EXPECT_EQ(sidecar->port(), row["port"].get<std::uint16_t>());
    }
    EXPECT_EQ(sidecar->url(), "http://127.0.0.1:" + std::to_string(sidecar->port()));
    for (const json& step : row.value("then", json::array())) runStep(*sidecar, step);
    EXPECT_TRUE(sidecar->stop().killed);
    expectStandInsGone();
  }
}

TEST_F(SidecarTest, TheTablesSessionThenCallsAfterTheStop) {
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  EXPECT_EQ(sidecar->launcherPid(), platform::currentProcessId());
  for (const json& step : table()["session"]) runStep(*sidecar, step);
  // Text that is not UTF-8, which the table cannot hold: refused by name, nothing sent.
  EXPECT_EQ(sidecar->putLaunchTicket({"ann", "!ann", "T-\xff", "", 1}).failure().argument, "ticket");
  EXPECT_FALSE(sidecar->takeLaunchTicket().value().has_value());

  const SidecarExit exit = sidecar->stop();
  EXPECT_TRUE(exit.killed);
  EXPECT_EQ(sidecar->stop().killed, true);
  std::optional<SidecarExit> seen = sidecar->waitForExit(0ms);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->exitStatus, exit.exitStatus);
  EXPECT_EQ(seen->signal, exit.signal);
  for (const json& step : table()["afterStop"]) runStep(*sidecar, step);
}

TEST_F(SidecarTest, ACallAfterAnEndFromOutsideSaysHowItEnded) {
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
#ifdef _WIN32
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, sidecar->pid());
  ASSERT_NE(process, nullptr);
  ::TerminateProcess(process, 3);
  ::CloseHandle(process);
#else
  ::kill(static_cast<pid_t>(sidecar->pid()), SIGKILL);
#endif
  const std::optional<SidecarExit> exit = sidecar->waitForExit(10s);
  ASSERT_TRUE(exit.has_value());
  EXPECT_FALSE(exit->killed);
#ifdef _WIN32
  EXPECT_EQ(exit->exitStatus, 3);
#else
  EXPECT_EQ(exit->signal, SIGKILL);
#endif
  const Status health = sidecar->checkHealth();
  EXPECT_EQ(health.code(), Code::kConnection);
  EXPECT_NE(health.error().find("has ended " + exit->describe()), std::string::npos)
      << health.error();
  EXPECT_EQ(health.failure().signal, exit->signal);
  EXPECT_FALSE(sidecar->stop().killed) << "it had ended: nothing to kill";
}

TEST_F(SidecarTest, CallsFromSeveralThreadsMeetTheStop) {
  SidecarOptions options = serviceOptions();
  options.token.reset();  // a fresh one
  Result<Sidecar> sidecar = Sidecar::start(options);
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  EXPECT_EQ(sidecar->token().size(), 64u);

  std::atomic<int> refusedAfterTheEnd{0};
  std::mutex lock;
  std::vector<std::string> otherFailures;
  auto caller = [&](int which) {
    for (int round = 0; round < 100000; ++round) {
      const Status status =
          which == 0   ? sidecar->checkHealth()
          : which == 1 ? sidecar->putPresenceSession({platform::currentProcessId(), 0})
                       : statusOf(sidecar->takeLaunchTicket());
      if (status.ok()) continue;
      if (status.code() == Code::kConnection) {
        ++refusedAfterTheEnd;
      } else {
        std::lock_guard<std::mutex> guard(lock);
        otherFailures.push_back(status.error());
      }
      return;
    }
  };
  std::vector<std::thread> callers;
  for (int which = 0; which < 3; ++which) callers.emplace_back(caller, which);
  std::optional<SidecarExit> seen;
  std::thread waiter([&] { seen = sidecar->waitForExit(60s); });
  std::this_thread::sleep_for(200ms);
  SidecarExit fromThere;
  std::thread stopper([&] { fromThere = sidecar->stop(); });
  const SidecarExit fromHere = sidecar->stop();
  stopper.join();
  waiter.join();
  for (std::thread& thread : callers) thread.join();
  EXPECT_EQ(refusedAfterTheEnd, 3);
  EXPECT_EQ(otherFailures, std::vector<std::string>());
  EXPECT_TRUE(fromHere.killed && fromThere.killed);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->signal, fromHere.signal);
}

TEST_F(SidecarTest, TheServiceAndTheProxyLogAreFoundWhereTheyShouldBe) {
  const fs::path beside = fs::path(defaultServicePath());
  EXPECT_EQ(beside.stem(), "korvessa-client-services");
  // This test program has no service beside it.
  SidecarOptions options = serviceOptions();
  options.servicePath.reset();
  Result<Sidecar> none = Sidecar::start(options);
  EXPECT_EQ(none.code(), Code::kSpawn);
  EXPECT_NE(none.error().find(beside.string()), std::string::npos) << none.error();

  EXPECT_EQ(proxyLogOffset((root_ / "client").string()).value(), 0u);
  fs::create_directories(root_ / "client");
  EXPECT_EQ(proxyLogOffset((root_ / "client").string()).value(), 0u);
  std::ofstream(root_ / "client" / std::string(kProxyLogFileName)) << "twelve bytes";
  EXPECT_EQ(proxyLogOffset((root_ / "client").string()).value(), 12u);
}

#ifndef _WIN32
TEST_F(SidecarTest, DiagnosticsAreDrainedWhileTheHandlerThrowsOrWaits) {
  // 700 lines of 200 bytes are more than a pipe holds: the service would block before its
  // address if the reading waited for the handler, which waits on the first line until the
  // start is over and throws on every line. On "stop me" it stops the service itself.
  struct Shared {
    std::promise<void> started;
    std::promise<Sidecar*> sidecar;
    std::promise<SidecarExit> stopped;
    std::vector<std::string> lines;
    bool onCallersThread = false;
  };
  auto shared = std::make_shared<Shared>();
  const std::thread::id caller = std::this_thread::get_id();
  SidecarOptions options = serviceOptions();
  options.servicePath = standIn(
      "i=0; while [ $i -lt 700 ]; do printf 'line %d %0190d\\n' $i 0 >&2; i=$((i+1)); done\n"
      "echo 'http://127.0.0.1:9'; echo 'stop me' >&2; exec sleep 60");
  std::shared_future<void> started = shared->started.get_future().share();
  std::shared_future<Sidecar*> self = shared->sidecar.get_future().share();
  options.onDiagnostic = [shared, started, self, caller](const std::string& line) {
    shared->onCallersThread = shared->onCallersThread || std::this_thread::get_id() == caller;
    if (shared->lines.empty()) started.wait();
    shared->lines.push_back(line);
    if (line == "stop me") shared->stopped.set_value(self.get()->stop());
    throw std::runtime_error("the handler's own failure");
  };
  Result<Sidecar> sidecar = Sidecar::start(options);
  shared->started.set_value();
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  shared->sidecar.set_value(&*sidecar);
  std::future<SidecarExit> stopped = shared->stopped.get_future();
  ASSERT_EQ(stopped.wait_for(30s), std::future_status::ready) << "no \"stop me\" came";
  EXPECT_TRUE(stopped.get().killed);
  EXPECT_TRUE(sidecar->waitForExit(0ms).has_value());
  expectStandInsGone();

  ASSERT_EQ(shared->lines.size(), 701u);
  for (std::size_t i = 0; i < 700; ++i) {
    ASSERT_EQ(shared->lines[i].substr(0, shared->lines[i].find(' ', 5)), "line " + std::to_string(i));
  }
  EXPECT_EQ(shared->lines[0], "line 0 " + std::string(190, '0')) << "without its line feed";
  EXPECT_FALSE(shared->onCallersThread);
}

// Answers each connection with the next canned reply, after reading the whole request.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    (void)platform::initSocketLibrary();
    kcs::Result<platform::Socket> listener = platform::bindLoopbackListener(4);
    listener_ = std::move(listener).value();
    const std::string address = platform::localAddress(listener_).value();
    port_ = address.substr(address.find(':') + 1);
    thread_ = std::thread([this] {
      try {
        serve();
      } catch (...) {
        ADD_FAILURE() << "the canned server failed";
      }
    });
  }
  // A test that ends early leaves the server waiting for a connection: one more ends it.
  ~CannedServer() {
    ending_ = true;
    (void)platform::connectLoopback(static_cast<std::uint16_t>(std::stoul(port_)));
    thread_.join();
  }
  const std::string& port() const { return port_; }

 private:
  void serve() {
    for (const std::string& reply : replies_) {
      platform::AcceptResult accepted = platform::acceptConnection(listener_);
      if (accepted.kind != platform::AcceptResult::Kind::Accepted || ending_) return;
      platform::Socket& connection = accepted.connection;
      (void)platform::setReceiveTimeout(connection, 10000);
      std::string request;
      char chunk[1024];
      std::size_t length = std::string::npos;
      for (;;) {
        const std::size_t head = request.find("\r\n\r\n");
        if (head != std::string::npos) {
          const std::size_t at = request.find("content-length: ");
          length = head + 4 + (at < head ? std::stoul(request.substr(at + 16)) : 0);
        }
        if (request.size() >= length) break;
        platform::ReceiveResult got = platform::receive(connection, chunk, sizeof(chunk));
        if (got.kind != platform::ReceiveResult::Kind::Data) break;
        request.append(chunk, got.size);
      }
      if (reply == "<silence>") {
        // Held without a word until the client gives up.
        while (platform::receive(connection, chunk, sizeof(chunk)).kind ==
               platform::ReceiveResult::Kind::Data) {
        }
      } else if (!reply.empty()) {
        (void)platform::send(connection, reply.data(), reply.size());
      }
    }
  }

  std::vector<std::string> replies_;
  std::atomic<bool> ending_{false};
  platform::Socket listener_;
  std::string port_;
  std::thread thread_;
};

std::string reply(const std::string& status, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\ncontent-length: " + std::to_string(body.size()) +
         "\r\nconnection: close\r\n\r\n" + body;
}

TEST_F(SidecarTest, RepliesOtherThanTheRoutePromisesAreFailures) {
  const std::string notFound = R"({"ok":false,"error":"not_found"})";
  const struct {
    const char* call;
    std::string reply;  // "" closes without a reply
    Code code;
    int status;
  } cases[] = {
      {"checkHealth", reply("200 OK", R"({"ok":true})"), Code::kHttp, 200},
      {"checkHealth", reply("503 Service Unavailable", "busy"), Code::kHttp, 503},
      {"putLaunchTicket", reply("200 OK", "{}"), Code::kHttp, 200},
      {"takeLaunchTicket", reply("200 OK", "{}"), Code::kHttp, 200},
      {"takeLaunchTicket", reply("404 Not Found", notFound), Code::kHttp, 404},
      {"putPresenceSession", "", Code::kConnection, 0},
      {"checkHealth", "<silence>", Code::kConnection, 0},
  };
  std::vector<std::string> replies;
  for (const auto& c : cases) replies.push_back(c.reply);
  CannedServer server(replies);
  SidecarOptions options = serviceOptions();
  options.servicePath = standIn("echo 'http://127.0.0.1:" + server.port() + "'; exec sleep 60");
  options.requestTimeout = 300ms;
  Result<Sidecar> sidecar = Sidecar::start(options);
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " answered " + c.reply);
    const std::string call = c.call;
    const Status status = call == "checkHealth"       ? sidecar->checkHealth()
                          : call == "putLaunchTicket" ? sidecar->putLaunchTicket({"a", "!a", "T", "", 0})
                          : call == "putPresenceSession"
                              ? sidecar->putPresenceSession({1, 0})
                              : statusOf(sidecar->takeLaunchTicket());
    EXPECT_EQ(status.code(), c.code) << status.error();
    EXPECT_EQ(status.failure().httpStatus, c.status);
    if (c.code == Code::kHttp) {
      EXPECT_EQ(status.failure().httpBody, c.reply.substr(c.reply.find("\r\n\r\n") + 4));
    }
  }
}
#endif

}  // namespace
}  // namespace kcs::kit
