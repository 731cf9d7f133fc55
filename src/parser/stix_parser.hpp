// The pattern grammar's entry: runs the grammar from a start rule over a whole text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "parser/nesting_budget.hpp"
#include "parser/parse_tree.hpp"
#include "parser/result.hpp"
#include "parser/rule.hpp"

namespace quarnel::parser {

class StixParser {
public:
    // Parentheses and brackets nest at most this deep, and on a thread with little stack
    // left less deep (see nesting_budget.hpp); deeper input is rejected before the
    // grammar's recursion could exhaust the stack.
    static constexpr std::size_t max_nesting = 256;

    // The error of an input that a run of the grammar over it with `budget` failed to match:
    // that it nests deeper than the run's bound (`bound`) at byte `too_deep_at`, or else the
    // furthest failure and the rules expected there, from a run that records its attempts.
    static ParseError rejection(std::string_view input, const NestingBudget& budget,
                                std::optional<std::size_t> too_deep_at, std::size_t bound);

    // The bound in force for a parse started here on the calling thread.
    static std::size_t nesting_bound();

    // Matches `start` at the beginning of `input`; only `pattern` demands the end of
    // input too. The parse tree borrows `input`.
    static Result<ParseTree> parse(Rule start, std::string_view input);

    // The same as parse(Rule::pattern, input), less the nodes that building the syntax tree
    // does without: no `value` node around a constant, no `step` around a property and
    // its index, no `EOI`. Only for building from: the tree has fewer nodes to make and to walk.
    // Its nodes lie in `scratch` where they fit it, and the tree is then read only while
    // the caller keeps it.
    // A caller that looked up the nesting budget already (full_budget_beside) hands it over.
    static Result<ParseTree> parse_for_building(std::string_view input, std::span<FlatNode> scratch = {},
                                                const NestingBudget* budget = nullptr);
};

}  // namespace quarnel::parser
