// The comparisons of a pattern as flat records, and a summary of what a pattern uses:
// what blocklists, look-ups and inventories of indicators are fed from.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ast/ast.hpp"
#include "tools/value.hpp"

namespace quarnel::tools {

// One comparison with the observation it belongs to (0 for the first observation of the
// text) and the qualifiers in force over it, innermost first. Borrows from the tree.
struct Observable {
    std::int64_t observation = 0;
    const ast::Comparison* comparison = nullptr;
    std::vector<const ast::QualifiedPattern*> qualifiers;
};

// Every comparison of the pattern, in text order.
std::vector<Observable> observables_of(const ast::PatternExpr& pattern);

// {"observation", "object_type", "path", "steps", "operator", "negated", "constants",
//  "qualifiers"}; the README describes each field.
Value to_value(const Observable& observable);

// The columns of an observable in CSV, after the source column.
inline constexpr std::string_view observable_csv_header =
    "source,observation,object_type,path,operator,negated,constant_types,constants,qualifiers\r\n";
void append_csv_row(std::string& out, std::string_view source, const Observable& observable);

// What a pattern uses: object types, object paths, comparison and observation operators and
// qualifier kinds, each once in order of first appearance, and the counts of observations
// and comparisons.
Value inspection_of(const ast::PatternExpr& pattern);

}  // namespace quarnel::tools
