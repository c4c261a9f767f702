// The launcher kit's sidecar against the real service: what a launcher author gets from it.
#include <gtest/gtest.h>

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

TEST(Sidecar, RefusedStartNamesTheStatusAndTheReason) {
  struct Case {
    const char* name;
    SidecarOptions options;
    const char* expected;
  };
  SidecarOptions shortToken = serviceOptions();
  shortToken.token = "only-31-bytes-xxxxxxxxxxxxxxxxx";
  SidecarOptions goneLauncher = serviceOptions();
  goneLauncher.launcherPid = 4294967295u;  // never a live process
  SidecarOptions missing = serviceOptions();
  missing.servicePath = "/nonexistent/korvessa-client-services";
  const Case cases[] = {
      {"short token", shortToken, "status 3 before announcing its address (launcher configuration is incomplete)"},
      {"launcher gone", goneLauncher, "status 4 before announcing its address (launcher process not found)"},
      {"no program", missing, "could not be started"},
  };
  for (const Case& c : cases) {
    Result<Sidecar> sidecar = Sidecar::start(c.options);
    ASSERT_FALSE(sidecar.ok()) << c.name;
    EXPECT_NE(sidecar.error().find(c.expected), std::string::npos) << c.name << ": " << sidecar.error();
  }
}

}  // namespace
}  // namespace kcs::kit
