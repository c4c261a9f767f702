// The records as the kit writes and reads them, judged by the service's own reader and by the
// member order of the kits' shared table.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http/records.h"
#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit {
namespace {

std::vector<std::string> memberNames(const std::string& json) {
  const nlohmann::ordered_json object = nlohmann::ordered_json::parse(json);
  std::vector<std::string> names;
  for (auto member = object.begin(); member != object.end(); ++member) {
    names.push_back(member.key());
  }
  return names;
}

TEST(Records, TheKitWritesTheMembersInTheTablesOrder) {
  const nlohmann::json records =
      nlohmann::json::parse(std::ifstream(KCS_CASES_PATH))["protocol"]["records"];
  const std::string line = configurationLine(std::string(32, 'a'), "").value();
  EXPECT_EQ(memberNames(line.substr(0, line.size() - 1)), records["config"]);
  EXPECT_EQ(memberNames(loginTicketJson({"ann", "!ann", "T", "", 1}).value()),
            records["loginTicket"]);
  EXPECT_EQ(memberNames(presenceSessionJson({1, 0}).value()), records["presenceSession"]);
}

TEST(Records, TheConfigurationLineEscapesEveryAwkwardCharacterAndEndsTheLine) {
  // Quotes, backslashes (Windows paths), a line feed that would otherwise end the line early,
  // a control character and non-ASCII text must all survive the trip.
  const std::string token = "tok\"en\\with\nodd\x01 bytes and more to reach 32";
  const std::string dir = "C:\\Games\\Korvessa \xc3\xa9t\xc3\xa9";
  Result<std::string> line = configurationLine(token, dir);
  ASSERT_TRUE(line.ok()) << line.error();
  ASSERT_EQ(line->back(), '\n');
  EXPECT_EQ(line->find('\n'), line->size() - 1) << "only the final line feed";
  nlohmann::json parsed = nlohmann::json::parse(line->substr(0, line->size() - 1));
  EXPECT_EQ(parsed.at("token"), token);
  EXPECT_EQ(parsed.at("clientDir"), dir);
  EXPECT_EQ(parsed.size(), 2u);
}

TEST(Records, TextThatIsNotUtf8IsRefusedByNameNotReplaced) {
  EXPECT_EQ(configurationLine(std::string(40, 'a'), "bad\xff").failure().argument, "clientDir");
  EXPECT_EQ(configurationLine(std::string(39, 'a') + "\xc3", "").failure().argument, "token");
  const struct {
    LoginTicket ticket;
    const char* field;
  } cases[] = {
      {{"\xc3", "!ann", "T-1", "", 1}, "username"},
      {{"ann", "!\xed\xa0\x80", "T-1", "", 1}, "clientLogin"},  // an encoded surrogate
      {{"ann", "!ann", "T-\xff", "", 1}, "ticket"},
      {{"ann", "!ann", "T-1", "\xc0\xaf", 1}, "expiresAt"},  // an overlong "/"
  };
  for (const auto& c : cases) {
    Result<std::string> json = loginTicketJson(c.ticket);
    ASSERT_FALSE(json.ok()) << *json;
    EXPECT_EQ(json.code(), Code::kInvalidArgument);
    EXPECT_EQ(json.failure().argument, c.field) << json.error();
  }
}

TEST(Records, WhatTheKitSendsTheServiceReadsBack) {
  LoginTicket sent{"Aldr\xc3\xad" "c \"the\" \\bold\\", "!aldric", "T-1\n2", "", 18446744073709551615u};
  kcs::Result<kcs::LoginTicket> read = kcs::readLoginTicket(loginTicketJson(sent).value());
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read->username, sent.username);
  EXPECT_EQ(read->ticket, sent.ticket);
  EXPECT_EQ(read->ttlSeconds, sent.ttlSeconds);

  Result<LoginTicket> back = parseLoginTicketJson(loginTicketJson(sent).value());
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->username, sent.username);
  EXPECT_EQ(back->clientLogin, "!aldric");
  EXPECT_EQ(back->expiresAt, "");
  EXPECT_EQ(back->ttlSeconds, sent.ttlSeconds);

  kcs::Result<kcs::PresenceSession> session =
      kcs::readPresenceSession(presenceSessionJson({4294967295u, 18446744073709551615u}).value());
  ASSERT_TRUE(session.ok()) << session.error();
  EXPECT_EQ(session->pid, 4294967295u);
  EXPECT_EQ(session->logOffset, 18446744073709551615u);
}

TEST(Records, AReplyThatIsNotATicketIsRefused) {
  const char* cases[] = {
      "",
      "[]",
      R"({"username":"a","clientLogin":"!a","ticket":"t","expiresAt":""})",
      R"({"username":"a","clientLogin":"!a","ticket":"t","expiresAt":"","ttlSeconds":"5"})",
      R"({"username":"a","clientLogin":"!a","ticket":"t","expiresAt":"","ttlSeconds":-5})",
      R"({"username":1,"clientLogin":"!a","ticket":"t","expiresAt":"","ttlSeconds":5})",
      R"({"ok":false,"error":"serialization_failed"})",
  };
  for (const char* body : cases) EXPECT_FALSE(parseLoginTicketJson(body).ok()) << body;
}

}  // namespace
}  // namespace kcs::kit
