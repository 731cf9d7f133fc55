#include "parser/stix_parser.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <limits>

#include "parser/grammar.hpp"

namespace quarnel::parser {

namespace {

namespace pegtl = tao::pegtl;
using Input = pegtl::memory_input<pegtl::tracking_mode::lazy, pegtl::eol::lf_crlf, const char*>;
using Start = bool (*)(Input&, peg::State&);

constexpr peg::Context fast_run{};
constexpr peg::Context lean_run{.lean = true};
constexpr peg::Context tracked_run{.tracking = true};

template <typename R, peg::Context C>
bool run(Input& in, peg::State& st) {
    return peg::match<R, C>(in, st);
}

// One entry per rule identifier, in the order of their numbers.
template <peg::Context C, typename... Rs>
constexpr std::array<Start, sizeof...(Rs)> start_table() {
    return {&run<Rs, C>...};
}

namespace g = grammar;
template <peg::Context C>
constexpr auto starts = start_table<
    C, g::EOI, g::WHITESPACE, g::QUOTE, g::equal, g::not_equal, g::gt, g::lt, g::ge, g::le, g::in,
    g::like, g::match, g::issubset, g::issuperset, g::exists, g::and_, g::or_, g::not_,
    g::followedby, g::bool_, g::hex, g::hex_constant, g::bin, g::bin_constant, g::int_,
    g::pos_int, g::float_, g::pos_float, g::string_escape, g::string, g::string_constant,
    g::time, g::time_constant, g::value, g::list, g::repeat, g::within, g::interval,
    g::qualifier, g::obs_op, g::bool_op, g::comp_op, g::object, g::property, g::index, g::step,
    g::path, g::comparison_exists, g::comparison_normal, g::comparison,
    g::comparison_expression, g::observation, g::observation_group, g::inner_expression,
    g::expression, g::pattern>();
static_assert(starts<fast_run>.size() == rule_count);

std::vector<Rule> sorted_unique(std::vector<Rule> rules) {
    std::sort(rules.begin(), rules.end());
    rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
    return rules;
}

GrammarError grammar_error(peg::State& st, std::string_view input) {
    return GrammarError{sorted_unique(std::move(st.positive_attempts)),
                        sorted_unique(std::move(st.negative_attempts)),
                        SourceLocation::locate(input, st.attempt_pos)};
}

// Realistic patterns make about one node per five bytes, so that a pattern of a few
// hundred bytes gets a block the allocator's thread cache serves, and rarely grows it.
// Long texts are mostly chains, of slightly more than one node per four bytes
// (observations of one short comparison) or fewer (comparisons), which their reservation
// covers without a copy; the densest chains make about one per byte and grow it twice. The reservation
// stays untouched until used.
std::size_t expected_nodes(std::size_t input_size) {
    constexpr std::size_t long_text = 4096;
    return input_size / (input_size < long_text ? 4 : 3) + 8;
}

template <peg::Context C>
bool run_from(Rule start, std::string_view input, peg::State& st) {
    Input in(input.data(), input.data() + input.size(), "pattern");
    if constexpr (C.lean) {
        assert(start == Rule::pattern && "a lean run is only made of whole patterns");
        return run<g::pattern, C>(in, st);
    } else {
        return starts<C>[static_cast<std::size_t>(start)](in, st);
    }
}

// The error of a run from `start` that failed: nesting too deep, or else the report of a run
// that records its failed attempts.
ParseError rejection_of(Rule start, std::string_view input, const NestingBudget& budget,
                        std::optional<std::size_t> too_deep_at, std::size_t bound) {
    if (too_deep_at) {
        return ParseError(ParseError::NestingTooDeep{SourceLocation::locate(input, *too_deep_at), bound});
    }
    peg::State tracked(input.data(), 0, budget);
    (void)run_from<tracked_run>(start, input, tracked);
    return ParseError(ParseError::Grammar{grammar_error(tracked, input)});
}

// Runs the grammar in context `C`; when that fails, again with the bookkeeping of failed
// attempts, for the report.
template <peg::Context C>
Result<ParseTree> parse_in(Rule start, std::string_view input, std::span<FlatNode> scratch = {},
                           const NestingBudget* known_budget = nullptr) {
    constexpr std::size_t max_input = std::numeric_limits<std::uint32_t>::max();
    if (input.size() > max_input) {
        return ParseError(ParseError::InputTooLarge{input.size(), max_input});
    }
    const NestingBudget budget = known_budget != nullptr ? *known_budget : nesting_budget(StixParser::max_nesting);
    peg::State fast(input.data(), expected_nodes(input.size()), budget, scratch);
    if (run_from<C>(start, input, fast)) {
        return std::move(fast.nodes).into_tree(input);
    }
    const std::optional<std::size_t> too_deep_at = fast.too_deep_at;
    const std::size_t bound = fast.max_depth;
    fast = peg::State(input.data(), 0, budget);  // gives up the failed run's nodes
    return rejection_of(start, input, budget, too_deep_at, bound);
}

}  // namespace

Result<ParseTree> StixParser::parse(Rule start, std::string_view input) {
    return parse_in<fast_run>(start, input);
}

Result<ParseTree> StixParser::parse_for_building(std::string_view input, std::span<FlatNode> scratch,
                                                 const NestingBudget* budget) {
    return parse_in<lean_run>(Rule::pattern, input, scratch, budget);
}

ParseError StixParser::rejection(std::string_view input, const NestingBudget& budget,
                                 std::optional<std::size_t> too_deep_at, std::size_t bound) {
    return rejection_of(Rule::pattern, input, budget, too_deep_at, bound);
}

std::size_t StixParser::nesting_bound() {
    return nesting_budget(max_nesting).levels;
}

}  // namespace quarnel::parser
