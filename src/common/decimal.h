// Unsigned decimal numbers as the command line and HTTP heads write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kcs {

// An optional single "+", then one or more ASCII digits and nothing else, at most max.
std::optional<std::uint64_t> parseUnsignedDecimal(std::string_view text, std::uint64_t max);

}  // namespace kcs
