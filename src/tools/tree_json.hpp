// The JSON tree of a pattern (its schema is documented in the README).
//
// Each chain that the left fold built is one node holding its operands in text order and
// the operators between them, so the depth of the JSON follows the parentheses of the
// pattern, never the length of a chain.
#pragma once

#include <string>

#include "ast/ast.hpp"

namespace quarnel::tools {

void append_tree_json(std::string& out, const ast::PatternExpr& pattern);

// A constant as JSON: strings, numbers and booleans as themselves, timestamps as UTC text,
// hexadecimal and base64 constants as the text written between their quotes, infinite
// floats as "inf"/"-inf"; a list as an array.
void append_constant_json(std::string& out, const ast::StixValue& value);
void append_constant_json(std::string& out, const ast::ComparisonRhs& constant);

// A finite float as a JSON number that reads back as a float ("5.0", "1e+300").
void append_json_float(std::string& out, double value);

}  // namespace quarnel::tools
