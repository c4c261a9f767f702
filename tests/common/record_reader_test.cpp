#include "common/record_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace kcs {
namespace {

using namespace std::string_literals;

constexpr std::array<FieldSpec, 3> kFields = {{
    {"name", FieldType::Text},
    {"count", FieldType::Unsigned32},
    {"size", FieldType::Unsigned64},
}};
const RecordSpec kSample{"Sample", kFields};

// The failure text, or "ok name/count/size" for a record that was read.
std::string outcome(const std::string& json) {
  Result<std::vector<FieldValue>> r = readRecord(json, kSample);
  if (!r.ok()) return r.error();
  return "ok " + (*r)[0].text + "/" + std::to_string((*r)[1].number) + "/" +
         std::to_string((*r)[2].number);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

struct Case {
  std::string json;
  std::string expected;  // "ok ..." or the start of the failure text
};

void expectOutcomes(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    const std::string got = outcome(c.json);
    EXPECT_TRUE(startsWith(got, c.expected))
        << "input " << testing::PrintToString(c.json) << "\n  got " << got << "\n  want "
        << c.expected;
  }
}

TEST(RecordReader, ReadsObjectFormWithFreeOrderEscapesAndSkippedMembers) {
  expectOutcomes({
      {R"({"name":"a","count":1,"size":2})", "ok a/1/2"},
      {R"({"size":2,"count":1,"name":"a"})", "ok a/1/2"},
      {" \t\r\n{ \"name\" : \"a\" , \"count\" : 1 , \"size\" : 2 } \r\n\t ", "ok a/1/2"},
      {R"({"n\u0061me":"\u00e9\n","count":1,"size":2})", "ok \xC3\xA9\n/1/2"},
      {R"({"name":"a","count":1,"size":2,"extra":{"x":[1,{"y":null}],"z":"s"},"more":[[]]})",
       "ok a/1/2"},
      {R"({"other":1,"name":"a","x":null,"count":1,"y":true,"size":2,"z":-1.5e3})", "ok a/1/2"},
      // A skipped value may reuse a field name inside it without counting as that field.
      {R"({"skip":{"name":"b","count":"x"},"name":"a","count":1,"size":2})", "ok a/1/2"},
      {R"({"count":4294967295,"size":18446744073709551615,"name":""})",
       "ok /4294967295/18446744073709551615"},
      {R"({"name":"a","count":+1,"size":2})", "syntax error"},
  });
}

TEST(RecordReader, ArrayFormTakesExactlyTheFieldsInOrder) {
  expectOutcomes({
      {R"(["a",1,2])", "ok a/1/2"},
      {R"( [ "a" , 1 , 2 ] )", "ok a/1/2"},
      {R"([])", "invalid length 0, expected struct Sample with 3 elements at line 1 column 2"},
      {R"(["a",1])", "invalid length 2, expected struct Sample with 3 elements"},
      {R"(["a",1,2,3])", "trailing characters"},
      {R"(["a",1,2,{}])", "trailing characters"},
      {R"([1,"a",2])", "invalid type: integer `1`, expected a string"},
  });
}

TEST(RecordReader, RefusesDuplicateMissingAndKeysThatDifferOnlyInCase) {
  expectOutcomes({
      {R"({"name":"a","name":"b","count":1,"size":2})", "duplicate field `name` at line 1 column 18"},
      {R"({"name":"a","count":1,"n\u0061me":"b","size":2})", "duplicate field `name`"},
      {R"({"name":"a","count":1})", "missing field `size` at line 1 column 22"},
      {R"({"count":1,"size":2})", "missing field `name`"},
      {R"({})", "missing field `name`"},
      {R"({"Name":"a","count":1,"size":2})", "missing field `name`"},
      {R"({"name ":"a","count":1,"size":2})", "missing field `name`"},
  });
}

TEST(RecordReader, ValueTypesAreStrict) {
  expectOutcomes({
      {R"({"name":null,"count":1,"size":2})", "invalid type: null, expected a string"},
      {R"({"name":5,"count":1,"size":2})", "invalid type: integer `5`, expected a string"},
      {R"({"name":["a"],"count":1,"size":2})", "invalid type: sequence, expected a string"},
      {R"({"name":{},"count":1,"size":2})", "invalid type: map, expected a string"},
      {R"({"name":"a","count":"1","size":2})", "invalid type: string, expected u32"},
      {R"({"name":"a","count":true,"size":2})", "invalid type: boolean `true`, expected u32"},
      {R"({"name":"a","count":1.0,"size":2})", "invalid type: floating point `1.0`, expected u32"},
      {R"({"name":"a","count":1,"size":1e3})", "invalid type: floating point `1e3`, expected u64"},
      {R"({"name":"a","count":-1,"size":2})", "invalid value: integer `-1`, expected u32"},
      {R"({"name":"a","count":-0,"size":2})", "invalid value: integer `0`, expected u32"},
      {R"({"name":"a","count":4294967296,"size":2})",
       "invalid value: integer `4294967296`, expected u32"},
      {R"({"name":"a","count":1,"size":18446744073709551616})",
       "invalid value: integer `18446744073709551616`, expected u64"},
      {R"({"name":"a","count":1,"size":1000000000000000000000000000000000000000000000})",
       "invalid value: integer `10000000000000000000000000000000...`, expected u64"},
  });
}

TEST(RecordReader, RefusesAnythingButOneValueOfTheRecordsShape) {
  expectOutcomes({
      {"", "syntax error: unexpected end of input"},
      {"   ", "syntax error: unexpected end of input"},
      {"\"text\"", "invalid type: string, expected struct Sample"},
      {"null", "invalid type: null, expected struct Sample"},
      {"12", "invalid type: integer `12`, expected struct Sample"},
      {R"(["a",1,2] x)", "trailing characters at line 1 column 11"},
      {R"({"name":"a","count":1,"size":2}{})", "trailing characters"},
      {R"({"name":"a","count":1,"size":2},)", "trailing characters"},
      {"\xEF\xBB\xBF" R"({"name":"a","count":1,"size":2})", "expected value, found a byte-order mark"},
      {R"({"name":"a","count":1,"size":2)", "syntax error"},
      {R"({"name":"a",})", "syntax error"},
      {R"({"name":"\ud800","count":1,"size":2})", "syntax error"},
      {"{\"name\":\"a\xFF\",\"count\":1,\"size\":2}", "syntax error"},
      {R"({"name":"a","count":1,"size":2,"x":[1,2)", "syntax error"},
      {"{\"name\":\"a\",\xC2\xA0\"count\":1,\"size\":2}", "syntax error: invalid literal"},
      // A NUL byte is no end of input: what follows it is read, and NUL itself is never JSON.
      {R"({"name":"a","count":1,"size":2})" "\0garbage"s,
       "trailing characters at line 1 column 32"},
      {R"(["a",1,2] )" "\0"s, "trailing characters at line 1 column 11"},
      {"\0"s, "syntax error: invalid literal at line 1 column 1"},
      {R"({"name":"a")" "\0"s R"(,"count":1,"size":2})", "syntax error: invalid literal"},
      {R"({"name":"a)" "\0"s R"(","count":1,"size":2})",
       "syntax error: invalid string: unescaped control character"},
      {R"({"x":[)" "\0"s R"(],"name":"a","count":1,"size":2})", "syntax error"},
  });
}

TEST(RecordReader, FailureDescriptionsNeverQuoteTheInput) {
  // The library's own messages quote the last bytes read; a string value there may be a
  // secret, and nothing marks where such a quote ends. Every malformed input below holds the
  // marker, and no description may show it, cut at any length after the marker.
  const std::string m = "SECRET-MARK";
  const std::vector<std::string> inputs = {
      R"({"name":"AAAA'; expected )" + m + "\tmore\",\"count\":1,\"size\":2}",
      R"({"name":")" + m + "\x01\",\"count\":1,\"size\":2}",
      R"({"name":")" + m + R"(\u12G4","count":1,"size":2})",
      R"({"name":")" + m + R"(\ud800x","count":1,"size":2})",
      R"({"name":")" + m + R"(\udc00","count":1,"size":2})",
      R"({"name":")" + m + R"(\q","count":1,"size":2})",
      "{\"name\":\"" + m + "\xFF\xFE\",\"count\":1,\"size\":2}",
      "{\"name\":\"" + m + "\"\0"s + m + "\"}",
      R"({")" + m + R"(":1,})",
      "{\"" + m + "\x1F\":1}",
      R"({")" + m + R"(" 1})",
      R"({"name":")" + m + R"(" "count":1})",
      "tru " + m,
      "[nul " + m + "]",
      R"({"name":fals)" + m + "}",
      R"({"count":-)" + m + "}",
      R"({"count":1.)" + m + "}",
      R"({"count":1e)" + m + "}",
      R"({"count":1e+)" + m + "}",
      R"(["a",1,2] ")" + m + "\"",
      R"(["a",1,2])" "\0"s + m,
      "\x01" + m,
      m,
      "\"" + m,
      "{" + m + "}",
      R"([")" + m + R"(",1])",
      R"([")" + m + R"(",")" + m + R"(",2])",
      R"({"name":")" + m + R"(","name":")" + m + R"("})",
      R"({"skip":{")" + m + R"(":[1,2,}],"name":"a","count":1,"size":2})",
  };
  for (const std::string& input : inputs) {
    for (std::size_t cut = input.find(m) + m.size(); cut <= input.size(); ++cut) {
      const std::string got = outcome(input.substr(0, cut));
      EXPECT_FALSE(startsWith(got, "ok ")) << testing::PrintToString(input.substr(0, cut));
      EXPECT_EQ(got.find("SECRET"), std::string::npos)
          << testing::PrintToString(input.substr(0, cut)) << "\n  got " << got;
      EXPECT_NE(got.find(" at line 1 column "), std::string::npos) << got;
    }
  }
}

TEST(RecordReader, PositionsCountLinesAndColumns) {
  EXPECT_EQ(outcome(""), "syntax error: unexpected end of input at line 1 column 0");
  EXPECT_EQ(outcome("{\n\"name\":\"a\"\n}"), "missing field `count` at line 3 column 1");
}

TEST(RecordReader, SkipsDeeplyNestedUnknownValuesWithoutRecursion) {
  const std::size_t depth = 200000;
  std::string json = R"({"deep":)" + std::string(depth, '[') + std::string(depth, ']') +
                     R"(,"name":"a","count":1,"size":2})";
  EXPECT_EQ(outcome(json), "ok a/1/2");
  // Depth inside a field's own value is refused at once, not walked.
  json = R"({"name":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_TRUE(startsWith(outcome(json), "invalid type: sequence, expected a string"));
}

}  // namespace
}  // namespace kcs
