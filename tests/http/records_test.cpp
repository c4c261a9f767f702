#include "http/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kcs {
namespace {

TEST(LoginTicketRecord, ReadsBothFormsAndAppliesTheValidityRule) {
  struct Case {
    std::string json;
    bool readable;
    bool valid;
  };
  const std::vector<Case> cases = {
      {R"({"username":"","clientLogin":"!","ticket":"t","expiresAt":"","ttlSeconds":0})", true, true},
      {R"({"ttlSeconds":5,"ticket":"t","expiresAt":"x","clientLogin":"!me","username":"u"})", true,
       true},
      {R"(["u","!me","t","2030-01-01",60])", true, true},
      {R"({"username":"u","clientLogin":"me!","ticket":"t","expiresAt":"","ttlSeconds":0})", true,
       false},
      {R"({"username":"u","clientLogin":"","ticket":"t","expiresAt":"","ttlSeconds":0})", true, false},
      {R"({"username":"u","clientLogin":"!me","ticket":"","expiresAt":"","ttlSeconds":0})", true,
       false},
      {R"({"username":"u","clientLogin":"!me","ticket":"t","expiresAt":"","ttlSeconds":"5"})", false,
       false},
      {R"({"username":"u","clientLogin":"!me","ticket":"t","expiresAt":"","ttlSeconds":1.0})", false,
       false},
      {R"({"username":"u","clientLogin":"!me","ticket":"t","expiresAt":"","ttlSeconds":-1})", false,
       false},
      {R"({"username":"u","clientLogin":"!me","ticket":"t","expiresAt":""})", false, false},
      {R"(["u","!me","t","x"])", false, false},
      {R"(["u","!me","t","x",1,2])", false, false},
      {R"({"username":"u","username":"v","clientLogin":"!me","ticket":"t","expiresAt":"","ttlSeconds":0})",
       false, false},
      {std::string(R"(["u","!me","t","x",1])") + '\0' + " this is not JSON {{{", false, false},
  };
  for (const auto& c : cases) {
    Result<LoginTicket> ticket = readLoginTicket(c.json);
    ASSERT_EQ(ticket.ok(), c.readable) << c.json << (ticket.ok() ? "" : " " + ticket.error());
    if (ticket.ok()) {
      EXPECT_EQ(isValid(*ticket), c.valid) << c.json;
    }
  }
}

TEST(LoginTicketRecord, ArrayFormFillsFieldsInOrder) {
  Result<LoginTicket> ticket = readLoginTicket(R"(["u","!c","t","e",18446744073709551615])");
  ASSERT_TRUE(ticket.ok()) << ticket.error();
  EXPECT_EQ(ticket->username, "u");
  EXPECT_EQ(ticket->clientLogin, "!c");
  EXPECT_EQ(ticket->ticket, "t");
  EXPECT_EQ(ticket->expiresAt, "e");
  EXPECT_EQ(ticket->ttlSeconds, 18446744073709551615u);
}

TEST(LoginTicketRecord, WritesCompactJsonInFieldOrderWithExactEscapes) {
  LoginTicket ticket;
  ticket.username = "J\xC3\xB6rg \xF0\x9F\x98\x80";  // non-ASCII is copied as it is
  ticket.clientLogin = "!a\"b\\c/d";
  ticket.ticket = std::string("\b\t\n\f\r\x01\x1f\x7f", 8);
  ticket.expiresAt = "";
  ticket.ttlSeconds = 3600;
  Result<std::string> json = writeLoginTicket(ticket);
  ASSERT_TRUE(json.ok()) << json.error();
  EXPECT_EQ(*json,
            "{\"username\":\"J\xC3\xB6rg \xF0\x9F\x98\x80\",\"clientLogin\":\"!a\\\"b\\\\c/d\","
            "\"ticket\":\"\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\",\"expiresAt\":\"\",\"ttlSeconds\":3600}");
}

TEST(LoginTicketRecord, WrittenTicketReadsBackUnchanged) {
  Result<LoginTicket> in =
      readLoginTicket(R"({"ttlSeconds":0,"expiresAt":"\u00e9","ticket":"a\nb","clientLogin":"!x","username":"\ud83d\ude00"})");
  ASSERT_TRUE(in.ok()) << in.error();
  Result<std::string> json = writeLoginTicket(*in);
  ASSERT_TRUE(json.ok());
  EXPECT_EQ(*json,
            "{\"username\":\"\xF0\x9F\x98\x80\",\"clientLogin\":\"!x\",\"ticket\":\"a\\nb\","
            "\"expiresAt\":\"\xC3\xA9\",\"ttlSeconds\":0}");
  Result<LoginTicket> back = readLoginTicket(*json);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->username, in->username);
  EXPECT_EQ(back->ticket, in->ticket);
  EXPECT_EQ(back->expiresAt, in->expiresAt);
}

TEST(LoginTicketRecord, WritingTextThatIsNotUtf8FailsInsteadOfThrowing) {
  LoginTicket ticket;
  ticket.clientLogin = "!";
  ticket.ticket = "\xFF";
  EXPECT_FALSE(writeLoginTicket(ticket).ok());
}

TEST(PresenceSessionRecord, ReadsAndValidates) {
  struct Case {
    std::string json;
    bool readable;
    bool valid;
  };
  const std::vector<Case> cases = {
      {R"({"pid":42,"logOffset":0})", true, true},
      {R"([42,18446744073709551615])", true, true},
      {R"({"logOffset":7,"pid":4294967295})", true, true},
      {R"({"pid":0,"logOffset":0})", true, false},
      {R"({"pid":4294967296,"logOffset":0})", false, false},
      {R"({"pid":"42","logOffset":0})", false, false},
      {R"({"pid":42})", false, false},
      {R"([42])", false, false},
      {R"([42,0,0])", false, false},
      {R"({"pid":42,"logOffset":0,"game":{"name":"x"}})", true, true},
      {std::string("[1,0]") + '\0' + "junk", false, false},
  };
  for (const auto& c : cases) {
    Result<PresenceSession> session = readPresenceSession(c.json);
    ASSERT_EQ(session.ok(), c.readable) << c.json << (session.ok() ? "" : " " + session.error());
    if (session.ok()) {
      EXPECT_EQ(isValid(*session), c.valid) << c.json;
    }
  }
  Result<PresenceSession> session = readPresenceSession(R"([7,9])");
  ASSERT_TRUE(session.ok());
  EXPECT_EQ(session->pid, 7u);
  EXPECT_EQ(session->logOffset, 9u);
}

}  // namespace
}  // namespace kcs
