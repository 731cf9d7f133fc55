// Canonical pattern text: one spelling for each tree.
//
// Single spaces around operators, constants quoted and escaped one way, and parentheses
// exactly where this parser's left fold needs them (a composite right operand) or where
// the usual precedence (AND before OR inside brackets; AND before OR before FOLLOWEDBY
// between observations) would group otherwise (a left operand whose operator binds less
// tightly). The text therefore means the same to tools that fold from the left and to
// tools that apply precedence, and parsing it gives back the same tree.
#pragma once

#include <stdexcept>
#include <string>

#include "ast/ast.hpp"

namespace quarnel::tools {

// The tree has no canonical text: the parentheses it needs would nest deeper than the
// parser accepts (long chains that mix operators), or it holds a value that pattern text
// cannot spell (a NaN, a timestamp a day beyond the four-digit years).
class NoCanonicalText : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws NoCanonicalText (and std::bad_alloc); nothing else.
std::string canonical_text(const ast::PatternExpr& pattern);

// One comparison as it stands inside brackets, e.g. "file:hashes.'SHA-256' = 'ab'".
std::string canonical_text(const ast::Comparison& comparison);

// The right-hand side of a comparison: a constant or a parenthesised list of them.
void append_canonical_constant(std::string& out, const ast::ComparisonRhs& constant);
// The qualifiers of one qualified pattern: "REPEATS 2 TIMES WITHIN 5 SECONDS START ... STOP ...".
void append_canonical_qualifiers(std::string& out, const ast::QualifiedPattern& qualified);
// An object path, quoting the property names that need it.
void append_canonical_path(std::string& out, const ast::ObjectPath& path);

}  // namespace quarnel::tools
