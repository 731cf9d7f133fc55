// Timestamp constants: RFC 3339 date-times, or a date-time without zone taken as UTC.
#pragma once

#include <string_view>

#include "ast/ast.hpp"
#include "parser/result.hpp"

namespace quarnel::parser {

Result<ast::Timestamp> parse_timestamp(std::string_view text);

}  // namespace quarnel::parser
