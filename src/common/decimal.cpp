// Placeholder.
#include "common/decimal.h"

namespace kcs {

std::optional<std::uint64_t> parseUnsignedDecimal(std::string_view, std::uint64_t) { return std::nullopt; }

}  // namespace kcs
