// How numbers and instants are written in pattern text and in the toolkit's JSON.
#pragma once

#include <string>

#include "ast/ast.hpp"

namespace quarnel::tools {

// The shortest decimal digits that read back as the finite `value`, without exponent and
// always with a point ("5.0", "0.001").
void append_plain_float(std::string& out, double value);

// Year-month-day, hour:minute:second, the fraction when there is one (trailing zeros
// dropped), and "Z"; a leap second is written as second 60.
void append_utc_timestamp(std::string& out, const ast::Timestamp& timestamp);

// `text` as a JSON string, quotes included, with everything outside printable ASCII escaped
// (\uXXXX, surrogate pairs above the basic plane), so the output reads in any encoding.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quarnel::tools
