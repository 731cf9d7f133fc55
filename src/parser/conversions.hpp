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
// Writes `text` to `out`, which has room for all of it, with \n \r \t \' \\ resolved; any
// other escaped code point keeps its backslash. Returns the number of bytes written.
std::size_t unescape_string_to(std::string_view text, char* out);

}  // namespace quarnel::parser
