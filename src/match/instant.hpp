// Instants: nanoseconds since 1970-01-01T00:00:00Z, wide enough for years 0000 to 9999 and
// for differences between any two of them.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "ast/ast.hpp"

namespace quarnel::match {

__extension__ typedef __int128 Instant;
__extension__ typedef unsigned __int128 Uint128;

inline constexpr Instant nanos_per_second = 1'000'000'000;
inline constexpr Instant instant_min = -(Instant(1) << 120);
inline constexpr Instant instant_max = Instant(1) << 120;

// A data timestamp of the strict form YYYY-MM-DDTHH:MM:SS[.F]Z; digits past the ninth
// fraction digit are cut. Nothing when the text has any other form.
std::optional<Instant> parse_data_timestamp(std::string_view text);

// A timestamp constant of the syntax tree; a leap second lands on the following second.
Instant to_instant(const ast::Timestamp& timestamp);

// Decimal text of a 128-bit integer, for messages and keys.
std::string to_decimal(Instant value);

}  // namespace quarnel::match
