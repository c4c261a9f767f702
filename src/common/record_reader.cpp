#include "common/record_reader.h"

#include <cstddef>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

namespace kcs {
namespace {

using Json = nlohmann::json;

// A pointer iterator that tells how far the parser has read, so that failures found by the
// handler (not by the parser) can name their position too.
//
// It also hands a NUL byte to the parser as the control character 0x01: the parser takes NUL
// for the end of its input, so whatever followed it would go unread and be accepted. JSON
// refuses both bytes everywhere (outside strings they are no token, inside they must be
// escaped), so the substitution changes nothing else.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  CountingIterator(const char* at, const char* begin, std::size_t* consumed)
      : at_(at), begin_(begin), consumed_(consumed) {}

  reference operator*() const { return *at_ == '\0' ? '\x01' : *at_; }
  CountingIterator& operator++() {
    ++at_;
    *consumed_ = static_cast<std::size_t>(at_ - begin_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char* begin_;
  std::size_t* consumed_;
};

std::string positionText(std::string_view json, std::size_t offset) {
  if (offset > json.size()) offset = json.size();
  std::size_t line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (json[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - lineStart);
}

// Numbers are quoted in failure texts, but never at any length an input may choose.
std::string quoteNumber(std::string_view raw) {
  constexpr std::size_t kShown = 32;
  std::string out = "`";
  out.append(raw.substr(0, kShown));
  if (raw.size() > kShown) out.append("...");
  return out + "`";
}

std::string expectedText(FieldType type) {
  switch (type) {
    case FieldType::Text:
      return "a string";
    case FieldType::Unsigned32:
      return "u32";
    case FieldType::Unsigned64:
      return "u64";
  }
  return "a value";
}

// The parser's failure in words of our own, chosen by its kind alone. The library's message
// goes on to quote the bytes it read last (part of the token, say) and nothing marks where that
// quote ends, so no part of the message is copied: it is only compared with the fixed texts that
// the library puts before any byte of the input.
std::string syntaxErrorText(std::string_view message) {
  // "[json.exception.parse_error.101] parse error at line L, column C: syntax error while
  // parsing CONTEXT - PROBLEM..."
  const std::size_t dash = message.find(" - ");
  const std::string_view problem = dash == std::string_view::npos ? "" : message.substr(dash + 3);
  struct Kind {
    std::string_view libraryText;  // the start of the library's problem text
    std::string_view ours;
  };
  static constexpr Kind kKinds[] = {
      {"unexpected end of input", "unexpected end of input"},
      {"unexpected '['", "unexpected '['"},
      {"unexpected '{'", "unexpected '{'"},
      {"unexpected ']'", "unexpected ']'"},
      {"unexpected '}'", "unexpected '}'"},
      {"unexpected ':'", "unexpected ':'"},
      {"unexpected ','", "unexpected ','"},
      {"unexpected string literal", "unexpected string"},
      {"unexpected number literal", "unexpected number"},
      {"unexpected true literal", "unexpected literal"},
      {"unexpected false literal", "unexpected literal"},
      {"unexpected null literal", "unexpected literal"},
      {"invalid string: missing closing quote", "invalid string: missing closing quote"},
      {"invalid string: control character", "invalid string: unescaped control character"},
      {"invalid string: ill-formed UTF-8", "invalid string: ill-formed UTF-8"},
      {"invalid string: surrogate", "invalid string: unpaired surrogate"},
      {"invalid string: '\\u'", "invalid string: invalid \\u escape"},
      {"invalid string: forbidden character after backslash", "invalid string: invalid escape"},
      {"invalid string", "invalid string"},
      {"invalid number", "invalid number"},
      {"invalid literal", "invalid literal"},
  };
  for (const Kind& kind : kKinds) {
    if (problem.starts_with(kind.libraryText)) return "syntax error: " + std::string(kind.ours);
  }
  return "syntax error: invalid token";
}

class RecordHandler {
 public:
  RecordHandler(std::string_view json, const RecordSpec& record, const std::size_t& consumed)
      : json_(json), record_(record), consumed_(consumed), values_(record.fields.size()),
        seen_(record.fields.size(), false) {}

  // ---- The SAX interface of nlohmann::json ----

  bool null() { return scalar(Incoming{"null", nullptr, 0, false}); }
  bool boolean(bool value) {
    return scalar(Incoming{value ? "boolean `true`" : "boolean `false`", nullptr, 0, false});
  }
  bool number_integer(Json::number_integer_t value) {
    // Only negative numbers and "-0" arrive here; none fits an unsigned field.
    return scalar(Incoming{"integer " + quoteNumber(std::to_string(value)), nullptr, 0, false,
                           true});
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return scalar(Incoming{"integer " + quoteNumber(std::to_string(value)), nullptr, value, true});
  }
  bool number_float(Json::number_float_t, const Json::string_t& raw) {
    // Integers beyond 64 bits arrive here too; they are out of range rather than of a wrong type.
    const bool integral = raw.find_first_of(".eE") == std::string::npos;
    return scalar(Incoming{(integral ? "integer " : "floating point ") + quoteNumber(raw), nullptr,
                           0, false, integral});
  }
  bool string(Json::string_t& value) { return scalar(Incoming{"string", &value, 0, false}); }
  bool binary(Json::binary_t&) { return scalar(Incoming{"binary data", nullptr, 0, false}); }

  bool start_object(std::size_t) { return container(Form::Object, "map"); }
  bool start_array(std::size_t) { return container(Form::Array, "sequence"); }

  bool key(Json::string_t& name) {
    if (skipDepth_ > 0) return true;
    member_ = kUnknownMember;
    for (std::size_t i = 0; i < record_.fields.size(); ++i) {
      if (record_.fields[i].name != name) continue;
      if (seen_[i]) return failAt("duplicate field `" + std::string(record_.fields[i].name) + "`");
      member_ = i;
      break;
    }
    return true;
  }

  bool end_object() {
    if (skipDepth_ > 0) {
      --skipDepth_;
      return true;
    }
    for (std::size_t i = 0; i < record_.fields.size(); ++i) {
      if (!seen_[i]) return failAt("missing field `" + std::string(record_.fields[i].name) + "`");
    }
    complete_ = true;
    return true;
  }

  bool end_array() {
    if (skipDepth_ > 0) {
      --skipDepth_;
      return true;
    }
    if (nextElement_ < record_.fields.size()) {
      return failAt("invalid length " + std::to_string(nextElement_) + ", expected " +
                    structText() + " with " + std::to_string(record_.fields.size()) +
                    (record_.fields.size() == 1 ? " element" : " elements"));
    }
    complete_ = true;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    // Strict parsing reports text after a complete value as a syntax error of its own.
    const std::string description = complete_ ? "trailing characters" : syntaxErrorText(e.what());
    error_ = description + positionText(json_, position);
    return false;
  }

  // ---- Results ----

  bool complete() const { return complete_; }
  const std::string& error() const { return error_; }
  std::vector<FieldValue> takeValues() { return std::move(values_); }

 private:
  enum class Form { None, Object, Array };
  static constexpr std::size_t kUnknownMember = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kExtraElement = kUnknownMember - 1;

  struct Incoming {
    std::string description;   // for failure texts: "null", "integer `5`", ...
    Json::string_t* text;      // set for strings
    std::uint64_t number;      // set for unsigned integers
    bool isUnsigned;           // number is meaningful
    bool outOfRange = false;   // an integer that no unsigned field can hold
  };

  std::string structText() const { return "struct " + std::string(record_.name); }

  bool failAt(std::string description) {
    error_ = std::move(description) + positionText(json_, consumed_);
    return false;
  }

  // Which field the next value fills: an index, kUnknownMember (skip it) or kExtraElement.
  std::size_t target() {
    if (form_ == Form::Object) return std::exchange(member_, kUnknownMember);
    if (nextElement_ >= record_.fields.size()) return kExtraElement;
    return nextElement_++;
  }

  bool container(Form form, const char* kind) {
    if (skipDepth_ > 0) {
      ++skipDepth_;
      return true;
    }
    if (form_ == Form::None) {
      form_ = form;
      return true;
    }
    const std::size_t field = target();
    if (field == kUnknownMember) {
      skipDepth_ = 1;
      return true;
    }
    if (field == kExtraElement) return failAt("trailing characters");
    return failAt(std::string("invalid type: ") + kind + ", expected " +
                  expectedText(record_.fields[field].type));
  }

  bool scalar(const Incoming& value) {
    if (skipDepth_ > 0) return true;
    if (form_ == Form::None) {
      return failAt("invalid type: " + value.description + ", expected " + structText());
    }
    const std::size_t field = target();
    if (field == kUnknownMember) return true;
    if (field == kExtraElement) return failAt("trailing characters");

    const FieldType type = record_.fields[field].type;
    if (type == FieldType::Text) {
      if (value.text == nullptr) {
        return failAt("invalid type: " + value.description + ", expected a string");
      }
      values_[field].text = std::move(*value.text);
    } else {
      const std::uint64_t max = type == FieldType::Unsigned32
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : std::numeric_limits<std::uint64_t>::max();
      if (value.outOfRange || (value.isUnsigned && value.number > max)) {
        return failAt("invalid value: " + value.description + ", expected " + expectedText(type));
      }
      if (!value.isUnsigned) {
        return failAt("invalid type: " + value.description + ", expected " + expectedText(type));
      }
      values_[field].number = value.number;
    }
    seen_[field] = true;
    return true;
  }

  std::string_view json_;
  const RecordSpec& record_;
  const std::size_t& consumed_;
  std::vector<FieldValue> values_;
  std::vector<bool> seen_;
  Form form_ = Form::None;
  std::size_t member_ = kUnknownMember;
  std::size_t nextElement_ = 0;
  std::size_t skipDepth_ = 0;  // depth inside the value of a member that is not a field
  bool complete_ = false;
  std::string error_;
};

}  // namespace

Result<std::vector<FieldValue>> readRecord(std::string_view json, const RecordSpec& record) {
  // The parser would skip a byte-order mark silently; JSON text has none.
  if (json.substr(0, 3) == "\xEF\xBB\xBF") {
    return fail("expected value, found a byte-order mark" + positionText(json, 1));
  }
  std::size_t consumed = 0;
  RecordHandler handler(json, record, consumed);
  const CountingIterator first(json.data(), json.data(), &consumed);
  const CountingIterator last(json.data() + json.size(), json.data(), &consumed);
  bool parsed = false;
  try {
    parsed = Json::sax_parse(first, last, &handler, Json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception&) {
    // The handler never throws; this is the parser failing to allocate or similar. Its text is
    // not passed on, for the same reason as in syntaxErrorText.
    return fail("unreadable JSON" + positionText(json, consumed));
  }
  if (!parsed || !handler.complete()) {
    if (!handler.error().empty()) return fail(handler.error());
    return fail("unreadable JSON" + positionText(json, consumed));
  }
  return handler.takeValues();
}

}  // namespace kcs
