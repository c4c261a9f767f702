// The launcher kit's sidecar against the real service: what a launcher author gets from it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit {
namespace {

SidecarOptions serviceOptions() {
  SidecarOptions options;
  options.servicePath = KCS_SERVICE_PATH;
  options.clientDir = "/nonexistent";
  options.pipeDiagnostics = true;
  return options;
}

// The cases every launcher kit's tests run alike (kits/cases.json); its "about" member says
// how the names map. A kind is the kit's codeName(), with "argument" for kInvalidArgument.
const nlohmann::json& cases() {
  static const nlohmann::json table = nlohmann::json::parse(std::ifstream(KCS_CASES_PATH));
  return table;
}

std::string kindOf(Code code) {
  return code == Code::kInvalidArgument ? "argument" : codeName(code);
}

// Checks a failure against a row's "error": its kind, and what its text must hold. This kit
// carries an exit status, the diagnostic line, an HTTP status and body in the text alone.
void expectFailure(Code code, const std::string& text, const nlohmann::json& error,
                   const std::string& label) {
  static const std::map<std::string, std::string> optionNames = {
      {"token", "token"}, {"launcherPid", "launcherPid"}, {"announceTimeout", "announceTimeoutMs"}};
  EXPECT_EQ(kindOf(code), error.at("kind").get<std::string>()) << label << ": " << text;
  if (error.contains("option")) {
    const std::string option = optionNames.at(error["option"].get<std::string>());
    EXPECT_EQ(text.rfind(option + " ", 0), 0u) << label << ": " << text;
  }
  std::vector<std::string> held;
  if (error.contains("says")) held.push_back(error["says"].get<std::string>());
  if (error.contains("exitStatus")) held.push_back("with status " + error["exitStatus"].dump());
  if (error.contains("status")) held.push_back(" answered " + error["status"].dump() + " ");
  if (error.contains("body")) held.push_back(error["body"].get<std::string>());
  if (error.contains("diagnostics")) {
    for (const nlohmann::json& line : error["diagnostics"]) held.push_back(line.get<std::string>());
  }
  for (const std::string& part : held) {
    EXPECT_NE(text.find(part), std::string::npos) << label << ": no \"" << part << "\" in " << text;
  }
  const std::string token = cases()["token"].get<std::string>();
  EXPECT_EQ(text.find(token), std::string::npos) << label << ": " << text;
}

// Whether the process runs: it exists and is not a zombie awaiting its reaper.
bool isRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  std::size_t state = line.rfind(") ");
  return state != std::string::npos && line.at(state + 2) != 'Z';
}

// Runs one step of a table ("call", maybe "record") and checks it against its "returns" or
// "error".
void runStep(const Sidecar& sidecar, const nlohmann::json& step) {
  const std::string call = step.at("call").get<std::string>();
  const std::string label = call + " " + step.value("record", nlohmann::json()).dump();
  const nlohmann::json returns = step.value("returns", nlohmann::json());
  Code code = Code::kOk;
  std::string text;
  if (call == "checkHealth") {
    Result<HttpReply> reply = sidecar.checkHealth();
    if (!reply.ok()) code = reply.code(), text = reply.error();
  } else if (call == "putLaunchTicket") {
    const nlohmann::json& r = step.at("record");
    auto field = [&r](const char* name) { return r.at(name).get<std::string>(); };
    Result<HttpReply> reply =
        sidecar.putLaunchTicket({field("username"), field("clientLogin"), field("ticket"),
                                 field("expiresAt"), r.at("ttlSeconds").get<std::uint64_t>()});
    if (!reply.ok()) code = reply.code(), text = reply.error();
  } else if (call == "takeLaunchTicket") {
    Result<TakenTicket> taken = sidecar.takeLaunchTicket();
    if (!taken.ok()) {
      code = taken.code(), text = taken.error();
    } else if (step.contains("returns")) {
      nlohmann::json got;  // null when there was none
      if (taken->ticket) {
        got = {{"username", taken->ticket->username}, {"clientLogin", taken->ticket->clientLogin},
               {"ticket", taken->ticket->ticket}, {"expiresAt", taken->ticket->expiresAt},
               {"ttlSeconds", taken->ticket->ttlSeconds}};
      }
      EXPECT_EQ(got, returns) << label;
    }
  } else if (call == "putPresenceSession") {
    const nlohmann::json& r = step.at("record");
    const std::uint32_t pid = r.at("pid") == "launcher" ? static_cast<std::uint32_t>(::getpid())
                                                        : r.at("pid").get<std::uint32_t>();
    Result<HttpReply> reply =
        sidecar.putPresenceSession({pid, r.at("logOffset").get<std::uint64_t>()});
    if (!reply.ok()) code = reply.code(), text = reply.error();
  } else {
    FAIL() << "no call " << call;
  }
  if (step.contains("error")) {
    ASSERT_NE(code, Code::kOk) << label << " succeeded";
    expectFailure(code, text, step["error"], label);
  } else {
    EXPECT_EQ(code, Code::kOk) << label << ": " << text;
  }
}

TEST(Sidecar, ServesTheSharedSessionBesideThisProcess) {
  SidecarOptions options = serviceOptions();
  options.token = cases()["token"].get<std::string>();
  Result<Sidecar> sidecar = Sidecar::start(options);
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  EXPECT_NE(sidecar->port(), 0);
  EXPECT_EQ(sidecar->launcherPid(), static_cast<std::uint32_t>(::getpid()));
  for (const nlohmann::json& step : cases()["session"]) runStep(*sidecar, step);
  // The empty take says what the service answered.
  Result<TakenTicket> none = sidecar->takeLaunchTicket();
  ASSERT_TRUE(none.ok()) << none.error();
  EXPECT_EQ(none->reply.status, 404);

  sidecar->stop();
  EXPECT_TRUE(sidecar->waitForExit(0).has_value());
  for (const nlohmann::json& step : cases()["afterStop"]) runStep(*sidecar, step);
  EXPECT_NE(sidecar->checkHealth().error().find("(stopped by stop())"), std::string::npos);
}

TEST(Sidecar, AFreshTokenIsMadeWhenNoneIsGiven) {
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  EXPECT_EQ(sidecar->token().size(), 64u);
  EXPECT_TRUE(sidecar->checkHealth().ok());
}

TEST(Sidecar, AwkwardTokenAndDirectoryArriveIntact) {
  // Quotes, backslashes and non-ASCII text in the configuration line must be escaped properly,
  // or the service would refuse it or hold a different token than the one the launcher sends.
  SidecarOptions options = serviceOptions();
  options.token = "quote\" backslash\\ caf\xc3\xa9 and enough bytes beyond 32";
  options.clientDir = "C:\\Games\\\"Korvessa\"";
  Result<Sidecar> sidecar = Sidecar::start(options);
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  Result<HttpReply> health = sidecar->checkHealth();
  EXPECT_TRUE(health.ok()) << health.error();
}

TEST(Sidecar, RefusedStartCarriesTheCodeAndSaysWhy) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kcs-kit-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "services");
  std::ofstream(dir / "services" / "not-runnable") << "#!/bin/sh\n";
  const std::map<std::string, std::filesystem::path> services = {
      {"missing", dir / "services" / "no-such-service"},
      {"directory", dir / "services"},
      {"not-runnable", dir / "services" / "not-runnable"}};

  int programs = 0;
  for (const nlohmann::json& row : cases()["startFailures"]) {
    const std::string name = row.at("name").get<std::string>();
    SidecarOptions options = serviceOptions();
    options.token = cases()["token"].get<std::string>();
    std::filesystem::path standIn;
    if (row.contains("service")) {
      options.servicePath = services.at(row["service"].get<std::string>()).string();
    }
    if (row.contains("standIn")) {
      // It first writes its pid, so that the test can tell whether it was left running.
      standIn = dir / ("program-" + std::to_string(++programs) + ".sh");
      std::ofstream(standIn) << "#!/bin/sh\necho $$ > '" << standIn.string() << ".pid'\n"
                             << row["standIn"].get<std::string>() << "\n";
      std::filesystem::permissions(standIn, std::filesystem::perms::owner_all);
      options.servicePath = standIn.string();
    }
    const nlohmann::json given = row.value("options", nlohmann::json::object());
    for (const auto& [option, value] : given.items()) {
      if (option == "token") options.token = value.get<std::string>();
      else if (option == "launcherPid") options.launcherPid = value.get<std::uint32_t>();
      else if (option == "announceTimeoutMs") options.announceTimeoutMs = value.get<unsigned>();
      else FAIL() << name << ": no option " << option;
    }
    Result<Sidecar> sidecar = Sidecar::start(options);
    ASSERT_FALSE(sidecar.ok()) << name;
    expectFailure(sidecar.code(), sidecar.error(), row.at("error"), name);
    EXPECT_EQ(sidecar.error().find("xxxxx"), std::string::npos) << name << ": " << sidecar.error();
    if (!standIn.empty()) {
      pid_t pid = 0;
      std::ifstream(standIn.string() + ".pid") >> pid;
      EXPECT_FALSE(pid > 0 && isRunning(pid)) << name << ": the program was left running";
    }
  }

  // What this kit alone can be given: an empty path, a pid above what kill() takes.
  SidecarOptions options = serviceOptions();
  options.servicePath.clear();
  EXPECT_EQ(Sidecar::start(options).error(), "servicePath is empty");
  options = serviceOptions();
  options.launcherPid = 4294967295u;
  Result<Sidecar> refused = Sidecar::start(options);
  EXPECT_EQ(refused.code(), Code::kInvalidArgument);
  EXPECT_NE(refused.error().find("launcherPid 4294967295 is not a process id"), std::string::npos)
      << refused.error();
  std::filesystem::remove_all(dir);
}

TEST(Sidecar, ACallAfterTheServiceEndedFailsAtOnceSayingHow) {
  // After stop(): the shared session's afterStop rows. Here the service died by itself.
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  ::kill(static_cast<pid_t>(sidecar->pid()), SIGKILL);
  ASSERT_TRUE(sidecar->waitForExit(5000).has_value());
  Result<HttpReply> health = sidecar->checkHealth();
  ASSERT_FALSE(health.ok());
  EXPECT_EQ(health.code(), Code::kConnection);
  EXPECT_NE(health.error().find("GET /health: the service has ended by signal 9"), std::string::npos)
      << health.error();
  EXPECT_EQ(health.error().find("stop()"), std::string::npos) << health.error();
  EXPECT_EQ(sidecar->putLaunchTicket({"ann", "!ann", "T-1", "", 1}).code(), Code::kConnection);
}

TEST(Sidecar, ATicketThatIsNotUtf8IsNotSent) {
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  Result<HttpReply> refused = sidecar->putLaunchTicket({"ann", "!ann", "T-\xff", "", 1});
  EXPECT_EQ(refused.code(), Code::kInvalidArgument);
  Result<TakenTicket> taken = sidecar->takeLaunchTicket();
  ASSERT_TRUE(taken.ok()) << taken.error();
  EXPECT_FALSE(taken->ticket.has_value()) << "a replaced ticket was stored";
}

}  // namespace
}  // namespace kcs::kit
