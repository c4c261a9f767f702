// The strict record reader, for the launch ticket, the presence session and the configuration
// line, against a reference built from the JSON library's document parser.
//
// The reference accepts exactly what the readers must accept: one JSON document (no byte-order
// mark) that is either an object holding every field once with a value of the field's type, or
// an array of exactly the field values in field order. Members of other names may hold anything.
// A reader must accept what the reference accepts, with the same values, and refuse the rest
// with a description that ends in its position. An accepted ticket must also survive being
// written out and read back.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "fuzz_check.h"
#include "http/records.h"
#include "lifecycle/launcher_config.h"

namespace {

using Json = nlohmann::json;

enum class Type { Text, U32, U64 };

struct Field {
  const char* name;
  Type type;
};

// One field value as the reference read it.
struct Value {
  std::string text;
  std::uint64_t number = 0;
  bool operator==(const Value&) const = default;
};

bool fits(const Json& value, Type type) {
  if (type == Type::Text) return value.is_string();
  if (!value.is_number_unsigned()) return false;
  return type == Type::U64 ||
         value.get<std::uint64_t>() <= std::numeric_limits<std::uint32_t>::max();
}

Value take(const Json& value, Type type) {
  if (type == Type::Text) return {value.get<std::string>(), 0};
  return {{}, value.get<std::uint64_t>()};
}

constexpr std::string_view kJsonWhiteSpace = " \t\n\r";

// Where the value at the start of the text ends, found without the JSON library, so that the
// rule for what may follow the value does not lean on the parser that the readers use (it takes
// a NUL byte for the end of its input). Only an object or an array can be a record: the value
// ends at the bracket that closes the first one, strings and their escapes skipped. npos when
// the text does not start that way or the bracket never closes.
std::size_t valueEnd(std::string_view text) {
  std::size_t at = text.find_first_not_of(kJsonWhiteSpace);
  if (at == std::string_view::npos || (text[at] != '{' && text[at] != '[')) {
    return std::string_view::npos;
  }
  std::size_t depth = 0;
  bool inString = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (inString) {
      if (c == '\\') {
        ++at;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return at + 1;
    }
  }
  return std::string_view::npos;
}

// The field values in field order, or nothing when the text is not a valid record.
std::optional<std::vector<Value>> referenceRead(std::string_view text,
                                                const std::vector<Field>& fields) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  // Only JSON white space may follow the value; the library parses the value alone.
  const std::size_t end = valueEnd(text);
  if (end == std::string_view::npos) return std::nullopt;
  if (text.find_first_not_of(kJsonWhiteSpace, end) != std::string_view::npos) return std::nullopt;
  text = text.substr(0, end);
  // Duplicate names among the top-level members refuse the record; deeper ones do not matter.
  bool duplicate = false;
  std::map<std::string, int> names;
  const Json::parser_callback_t watch = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::key && depth == 1 && names[parsed.get<std::string>()]++ > 0) {
      duplicate = true;
    }
    return true;
  };
  const Json document = Json::parse(text.begin(), text.end(), watch, /*allow_exceptions=*/false);
  if (document.is_discarded() || duplicate) return std::nullopt;

  std::vector<Value> values;
  if (document.is_object()) {
    for (const Field& field : fields) {
      const auto member = document.find(field.name);
      if (member == document.end() || !fits(*member, field.type)) return std::nullopt;
      values.push_back(take(*member, field.type));
    }
    return values;
  }
  if (document.is_array() && document.size() == fields.size()) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fits(document[i], fields[i].type)) return std::nullopt;
      values.push_back(take(document[i], fields[i].type));
    }
    return values;
  }
  return std::nullopt;
}

// " at line L column C" at the end of a failure description made of printable ASCII only (the
// descriptions never quote the input, whose strings may be secrets).
bool endsWithPosition(const std::string& text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  const std::size_t at = text.rfind(" at line ");
  if (at == std::string::npos) return false;
  const std::string_view rest = std::string_view(text).substr(at + 9);
  const std::size_t column = rest.find(" column ");
  if (column == std::string_view::npos || column == 0) return false;
  const auto digits = [](std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return digits(rest.substr(0, column)) && digits(rest.substr(column + 8));
}

const std::vector<Field> kTicketFields = {{"username", Type::Text},
                                          {"clientLogin", Type::Text},
                                          {"ticket", Type::Text},
                                          {"expiresAt", Type::Text},
                                          {"ttlSeconds", Type::U64}};
const std::vector<Field> kSessionFields = {{"pid", Type::U32}, {"logOffset", Type::U64}};
const std::vector<Field> kConfigFields = {{"token", Type::Text}, {"clientDir", Type::Text}};

void checkTicket(std::string_view text) {
  const kcs::Result<kcs::LoginTicket> ticket = kcs::readLoginTicket(text);
  const std::optional<std::vector<Value>> expected = referenceRead(text, kTicketFields);
  FUZZ_CHECK(ticket.ok() == expected.has_value());
  if (!ticket.ok()) {
    FUZZ_CHECK(endsWithPosition(ticket.error()));
    return;
  }
  const std::vector<Value> got = {{ticket->username, 0},
                                  {ticket->clientLogin, 0},
                                  {ticket->ticket, 0},
                                  {ticket->expiresAt, 0},
                                  {{}, ticket->ttlSeconds}};
  FUZZ_CHECK(got == *expected);

  // Whatever was accepted can be handed out again, unchanged.
  const kcs::Result<std::string> written = kcs::writeLoginTicket(*ticket);
  FUZZ_CHECK(written.ok());
  const kcs::Result<kcs::LoginTicket> again = kcs::readLoginTicket(*written);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(again->username == ticket->username && again->clientLogin == ticket->clientLogin &&
             again->ticket == ticket->ticket && again->expiresAt == ticket->expiresAt &&
             again->ttlSeconds == ticket->ttlSeconds);
  for (const char c : *written) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
}

void checkSession(std::string_view text) {
  const kcs::Result<kcs::PresenceSession> session = kcs::readPresenceSession(text);
  const std::optional<std::vector<Value>> expected = referenceRead(text, kSessionFields);
  FUZZ_CHECK(session.ok() == expected.has_value());
  if (!session.ok()) {
    FUZZ_CHECK(endsWithPosition(session.error()));
    return;
  }
  FUZZ_CHECK(session->pid == (*expected)[0].number);
  FUZZ_CHECK(session->logOffset == (*expected)[1].number);
}

void checkConfig(std::string_view line) {
  const kcs::Result<kcs::Config> config = kcs::parseLauncherConfig(line);
  if (!kcs::isValidUtf8(line)) {
    FUZZ_CHECK(!config.ok());
    FUZZ_CHECK(config.error() ==
               "failed reading launcher configuration: stream did not contain valid UTF-8");
    return;
  }
  const std::optional<std::vector<Value>> expected =
      referenceRead(kcs::trimUnicodeWhiteSpace(line), kConfigFields);
  if (!expected) {
    FUZZ_CHECK(!config.ok());
    FUZZ_CHECK(config.error().starts_with("invalid launcher configuration: "));
    FUZZ_CHECK(endsWithPosition(config.error()));
    return;
  }
  if ((*expected)[0].text.size() < 32) {
    FUZZ_CHECK(!config.ok());
    FUZZ_CHECK(config.error() == "launcher configuration is incomplete");
    return;
  }
  FUZZ_CHECK(config.ok());
  FUZZ_CHECK(config->token == (*expected)[0].text);
  FUZZ_CHECK(config->clientDir == (*expected)[1].text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkTicket(text);
  checkSession(text);
  checkConfig(text);
  return 0;
}
