// One strict JSON reader for the flat records that arrive from outside (the launcher
// configuration, the launch ticket, the presence session). Each record describes itself by its
// field list; the reader applies the same rules to all of them:
//  - exactly one JSON value, then only JSON white space; a leading byte-order mark is refused,
//    and so is a NUL byte anywhere;
//  - object form: keys matched exactly after unescaping, other members skipped at any depth,
//    a field given twice or missing refused;
//  - array form: exactly the field values in field order;
//  - strict value types: text only from strings, integers only from non-negative JSON integers
//    without fraction or exponent, within the field's range.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace kcs {

enum class FieldType { Text, Unsigned32, Unsigned64 };

struct FieldSpec {
  std::string_view name;
  FieldType type;
};

struct RecordSpec {
  std::string_view name;  // as named in failure texts: "struct {name}"
  std::span<const FieldSpec> fields;
};

// The value of one field: text for Text fields, number for the integer fields.
struct FieldValue {
  std::string text;
  std::uint64_t number = 0;
};

// The record's field values in field order, or a description of the first problem ending in
// " at line L column C" (C counts bytes from 1; 0 before the first byte of a line). The
// description is made of fixed texts, field names and numbers only: no byte of a string in the
// input (a token, say) ever appears in it.
Result<std::vector<FieldValue>> readRecord(std::string_view json, const RecordSpec& record);

}  // namespace kcs
