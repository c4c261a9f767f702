// The reader's field list of a record of the wire contract, and the record filled from the
// values read, both made from the record's one list of fields in protocol.h.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/record_reader.h"
#include "korvessa/launcher_kit/protocol.h"

namespace kcs {

template <class Type>
constexpr FieldType fieldTypeOf() {
  if constexpr (std::is_same_v<Type, std::string>) {
    return FieldType::Text;
  } else if constexpr (std::is_same_v<Type, std::uint32_t>) {
    return FieldType::Unsigned32;
  } else {
    static_assert(std::is_same_v<Type, std::uint64_t>, "a record field of no known type");
    return FieldType::Unsigned64;
  }
}

// {name, type} for each field, in wire order.
template <class Fields>
constexpr auto fieldSpecs(const Fields& fields) {
  return std::apply(
      [](const auto&... field) {
        return std::array<FieldSpec, sizeof...(field)>{
            FieldSpec{field.name, fieldTypeOf<typename std::decay_t<decltype(field)>::Type>()}...};
      },
      fields);
}

// The record from the values readRecord returned for fieldSpecs(fields), which has checked each
// value's type and range.
template <class Record, class Fields>
Record recordFrom(std::vector<FieldValue>& values, const Fields& fields) {
  Record record;
  std::size_t at = 0;
  protocol::forEachField(fields, [&](const auto& field) {
    using Type = typename std::decay_t<decltype(field)>::Type;
    if constexpr (std::is_same_v<Type, std::string>) {
      record.*field.member = std::move(values[at].text);
    } else {
      record.*field.member = static_cast<Type>(values[at].number);
    }
    ++at;
    return true;
  });
  return record;
}

}  // namespace kcs
