// The launcher kit's sidecar against the real service: what a launcher author gets from it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

TEST(Sidecar, StartsBesideThisProcessAndServesEveryRoute) {
  Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
  ASSERT_TRUE(sidecar.ok()) << sidecar.error();
  EXPECT_EQ(sidecar->token().size(), 64u);
  EXPECT_NE(sidecar->port(), 0);

  EXPECT_TRUE(sidecar->checkHealth().ok());
  LoginTicket ticket{"ann", "!ann", "T-1", "soon", 60};
  ASSERT_TRUE(sidecar->putLaunchTicket(ticket).ok());
  Result<TakenTicket> first = sidecar->takeLaunchTicket();
  ASSERT_TRUE(first.ok()) << first.error();
  ASSERT_TRUE(first->ticket.has_value());
  EXPECT_EQ(first->ticket->ticket, "T-1");
  Result<TakenTicket> second = sidecar->takeLaunchTicket();
  ASSERT_TRUE(second.ok()) << second.error();
  EXPECT_FALSE(second->ticket.has_value());
  EXPECT_EQ(second->reply.status, 404);

  // An invalid ticket is reported as the failure it is, not as stored.
  Result<HttpReply> refused = sidecar->putLaunchTicket({"ann", "ann", "T-1", "", 0});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.code(), Code::kHttp);
  EXPECT_NE(refused.error().find("400 Bad Request"), std::string::npos) << refused.error();
  EXPECT_TRUE(sidecar->putPresenceSession({sidecar->launcherPid(), 0}).ok());

  sidecar->stop();
  EXPECT_TRUE(sidecar->waitForExit(0).has_value());
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
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "silent") << "#!/bin/sh\nexec sleep 30\n";
  std::filesystem::permissions(dir / "silent", std::filesystem::perms::owner_all);
  std::ofstream(dir / "echoing") << "#!/bin/sh\nexec cat\n";
  std::filesystem::permissions(dir / "echoing", std::filesystem::perms::owner_all);
  std::ofstream(dir / "plain") << "#!/bin/sh\n";

  struct Case {
    const char* name;
    void (*change)(SidecarOptions&);
    Code code;
    std::string says;
  };
  static std::filesystem::path where;
  where = dir;
  const Case cases[] = {
      {"short token", [](SidecarOptions& o) { o.token = "only-31-bytes-xxxxxxxxxxxxxxxxx"; },
       Code::kInvalidArgument, "token is shorter than 32 bytes"},
      {"pid above INT_MAX", [](SidecarOptions& o) { o.launcherPid = 4294967295u; },
       Code::kInvalidArgument, "launcherPid 4294967295 is not a process id"},
      {"no time to announce", [](SidecarOptions& o) { o.announceTimeoutMs = 0; },
       Code::kInvalidArgument, "announceTimeoutMs must be positive"},
      {"no service path", [](SidecarOptions& o) { o.servicePath.clear(); },
       Code::kInvalidArgument, "servicePath is empty"},
      {"launcher gone", [](SidecarOptions& o) { o.launcherPid = 2147483000u; },
       Code::kExited, "with status 4 before announcing its address (launcher process not found)"},
      {"no program", [](SidecarOptions& o) { o.servicePath = "/nonexistent/korvessa-client-services"; },
       Code::kSpawn, "does not exist"},
      {"a directory", [](SidecarOptions& o) { o.servicePath = where.string(); },
       Code::kSpawn, "is a directory"},
      {"not runnable", [](SidecarOptions& o) { o.servicePath = (where / "plain").string(); },
       Code::kSpawn, "cannot be run"},
      {"silent", [](SidecarOptions& o) { o.servicePath = (where / "silent").string(); o.announceTimeoutMs = 300; },
       Code::kAnnounceTimeout, "did not announce its address within 300 ms"},
      {"echoes its input", [](SidecarOptions& o) { o.servicePath = (where / "echoing").string(); },
       Code::kBadAnnouncement, "<token>"},
  };
  for (const Case& c : cases) {
    SidecarOptions options = serviceOptions();
    options.token = std::string(40, 's');
    c.change(options);
    Result<Sidecar> sidecar = Sidecar::start(options);
    ASSERT_FALSE(sidecar.ok()) << c.name;
    EXPECT_EQ(sidecar.code(), c.code) << c.name << ": " << codeName(sidecar.code());
    EXPECT_NE(sidecar.error().find(c.says), std::string::npos) << c.name << ": " << sidecar.error();
    // Neither the token nor any part of it reaches a message.
    EXPECT_EQ(sidecar.error().find("sssss"), std::string::npos) << c.name << ": " << sidecar.error();
    EXPECT_EQ(sidecar.error().find("xxxxx"), std::string::npos) << c.name << ": " << sidecar.error();
  }
  std::filesystem::remove_all(dir);
}

TEST(Sidecar, ACallAfterTheServiceEndedFailsAtOnceSayingHow) {
  for (const bool byStop : {true, false}) {
    Result<Sidecar> sidecar = Sidecar::start(serviceOptions());
    ASSERT_TRUE(sidecar.ok()) << sidecar.error();
    if (byStop) {
      sidecar->stop();
    } else {
      ::kill(static_cast<pid_t>(sidecar->pid()), SIGKILL);
      ASSERT_TRUE(sidecar->waitForExit(5000).has_value());
    }
    Result<HttpReply> health = sidecar->checkHealth();
    ASSERT_FALSE(health.ok());
    EXPECT_EQ(health.code(), Code::kConnection);
    EXPECT_NE(health.error().find("GET /health: the service has ended by signal 9"), std::string::npos)
        << health.error();
    EXPECT_EQ(health.error().find("stop()") != std::string::npos, byStop) << health.error();
    EXPECT_EQ(sidecar->putLaunchTicket({"ann", "!ann", "T-1", "", 1}).code(), Code::kConnection);
  }
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
