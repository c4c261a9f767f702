// The contract header against the kits' shared table (kits/cases.json, "protocol"): the kits in
// other languages take their facts from the table, the service and the C++ kit from the header.
#include "korvessa/launcher_kit/protocol.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kcs::protocol {
namespace {

nlohmann::json table() {
  std::ifstream file(KCS_CASES_PATH);
  EXPECT_TRUE(file) << "cannot open " << KCS_CASES_PATH;
  nlohmann::json cases = nlohmann::json::parse(file, nullptr, false);
  EXPECT_FALSE(cases.is_discarded()) << KCS_CASES_PATH << " is not JSON";
  return cases.is_discarded() ? nlohmann::json::object() : cases.value("protocol", nlohmann::json());
}

template <class Fields>
std::vector<std::string> names(const Fields& fields) {
  const auto list = fieldNames(fields);
  return {list.begin(), list.end()};
}

TEST(ProtocolTest, HeaderAndSharedTableAgree) {
  const nlohmann::json p = table();
  ASSERT_TRUE(p.is_object()) << "no protocol member";
  EXPECT_EQ(p["tokenHeader"], kTokenHeader);
  EXPECT_EQ(p["healthBody"], kHealthBody);
  EXPECT_EQ(p["proxyLogFileName"], kProxyLogFileName);

  const std::pair<const char*, Route> routes[] = {{"health", kHealth},
                                                  {"putLaunchTicket", kPutLaunchTicket},
                                                  {"takeLaunchTicket", kTakeLaunchTicket},
                                                  {"putPresenceSession", kPutPresenceSession}};
  EXPECT_EQ(p["routes"].size(), std::size(routes));
  for (const auto& [name, route] : routes) {
    SCOPED_TRACE(name);
    EXPECT_EQ(p["routes"][name]["method"], route.method);
    EXPECT_EQ(p["routes"][name]["path"], route.path);
  }

  // The body of each error is built here from the table's code, not taken from the header.
  const std::pair<const char*, std::pair<std::string_view, std::string_view>> errors[] = {
      {"badRequest", {kErrorBadRequest, kBadRequestBody}},
      {"unauthorized", {kErrorUnauthorized, kUnauthorizedBody}},
      {"invalidTicket", {kErrorInvalidTicket, kInvalidTicketBody}},
      {"invalidPresenceSession", {kErrorInvalidPresenceSession, kInvalidPresenceSessionBody}},
      {"noLaunchSession", {kErrorNoLaunchSession, kNoLaunchSessionBody}},
      {"notFound", {kErrorNotFound, kNotFoundBody}},
      {"serializationFailed", {kErrorSerializationFailed, kSerializationFailedBody}}};
  EXPECT_EQ(p["errors"].size(), std::size(errors));
  for (const auto& [name, error] : errors) {
    SCOPED_TRACE(name);
    const nlohmann::json code = p["errors"][name];
    EXPECT_EQ(code, error.first);
    EXPECT_EQ(nlohmann::ordered_json({{"ok", false}, {"error", code}}).dump(), error.second);
  }

  EXPECT_EQ(p["records"]["config"], names(kConfigurationFields));
  EXPECT_EQ(p["records"]["loginTicket"], names(kLoginTicketFields));
  EXPECT_EQ(p["records"]["presenceSession"], names(kPresenceSessionFields));
}

}  // namespace
}  // namespace kcs::protocol
