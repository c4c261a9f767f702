#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "http/records.h"
#include "korvessa/launcher_kit/sidecar.h"

namespace kcs::kit {
namespace {

TEST(ConfigurationLine, EscapesEveryAwkwardCharacterAndEndsTheLine) {
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

TEST(ConfigurationLine, RefusesTextThatIsNotUtf8) {
  EXPECT_FALSE(configurationLine(std::string(40, 'a'), "bad\xff").ok());
  EXPECT_FALSE(configurationLine(std::string(39, 'a') + "\xc3", "").ok());
}

TEST(TicketJson, WhatTheClientSendsTheServiceReadsBack) {
  LoginTicket sent{"Aldr\xc3\xad" "c \"the\" \\bold\\", "!aldric", "T-1\n2", "", 18446744073709551615u};
  // The service's own reader is the judge of what the kit writes.
  kcs::Result<kcs::LoginTicket> read = kcs::readLoginTicket(*loginTicketJson(sent));
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read->username, sent.username);
  EXPECT_EQ(read->ticket, sent.ticket);
  EXPECT_EQ(read->ttlSeconds, sent.ttlSeconds);

  Result<LoginTicket> back = parseLoginTicketJson(*loginTicketJson(sent));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->username, sent.username);
  EXPECT_EQ(back->clientLogin, "!aldric");
  EXPECT_EQ(back->expiresAt, "");
  EXPECT_EQ(back->ttlSeconds, sent.ttlSeconds);
}

TEST(TicketJson, TextThatIsNotUtf8IsRefusedNotReplaced) {
  LoginTicket ticket{"ann", "!ann", "T-\xff", "", 1};
  Result<std::string> json = loginTicketJson(ticket);
  ASSERT_FALSE(json.ok()) << *json;
  EXPECT_EQ(json.code(), Code::kInvalidArgument);
  EXPECT_EQ(json.error(), "the ticket's ticket is not valid UTF-8");
  ticket = {"\xc3", "!ann", "T-1", "", 1};
  EXPECT_EQ(loginTicketJson(ticket).code(), Code::kInvalidArgument);
}

TEST(TicketJson, ReplyThatIsNotATicketIsRefused) {
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

TEST(PresenceSessionJson, ServiceReadsTheFullRange) {
  kcs::Result<kcs::PresenceSession> read =
      kcs::readPresenceSession(presenceSessionJson({4294967295u, 18446744073709551615u}));
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read->pid, 4294967295u);
  EXPECT_EQ(read->logOffset, 18446744073709551615u);
}

}  // namespace
}  // namespace kcs::kit
