// Conversions of constant texts, with the failure kinds that error messages name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "parser/result.hpp"

namespace quarnel::parser {

// Optional sign ('+' or '-'), then decimal digits; leading zeros allowed.
Result<std::int64_t> parse_int64(std::string_view text);
// Optional '+', then decimal digits.
Result<std::uint32_t> parse_uint32(std::string_view text);
// Correctly rounded; magnitudes beyond the double range give a signed infinity or zero.
Result<double> parse_float64(std::string_view text);
// Writes `text` over `out` (reusing its memory) with \n \r \t \' \\ resolved; any other
// escaped code point keeps its backslash.
void unescape_string_into(std::string_view text, std::string& out);

}  // namespace quarnel::parser
