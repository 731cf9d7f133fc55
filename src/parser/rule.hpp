// The grammar's rule identifiers, numbered in the order error reports list them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quarnel::parser {

enum class Rule : std::uint8_t {
    EOI,
    WHITESPACE,
    QUOTE,
    equal,
    not_equal,
    gt,
    lt,
    ge,
    le,
    in,
    like,
    match,
    issubset,
    issuperset,
    exists,
    and_,
    or_,
    not_,
    followedby,
    bool_,
    hex,
    hex_constant,
    bin,
    bin_constant,
    int_,
    pos_int,
    float_,
    pos_float,
    string_escape,
    string,
    string_constant,
    time,
    time_constant,
    value,
    list,
    repeat,
    within,
    interval,
    qualifier,
    obs_op,
    bool_op,
    comp_op,
    object,
    property,
    index,
    step,
    path,
    comparison_exists,
    comparison_normal,
    comparison,
    comparison_expression,
    observation,
    observation_group,
    inner_expression,
    expression,
    pattern,
};

inline constexpr std::size_t rule_count = 56;

inline constexpr std::array<std::string_view, rule_count> rule_names{
    "EOI",
    "WHITESPACE",
    "QUOTE",
    "equal",
    "not_equal",
    "gt",
    "lt",
    "ge",
    "le",
    "in",
    "like",
    "match",
    "issubset",
    "issuperset",
    "exists",
    "and",
    "or",
    "not",
    "followedby",
    "bool",
    "hex",
    "hex_constant",
    "bin",
    "bin_constant",
    "int",
    "pos_int",
    "float",
    "pos_float",
    "string_escape",
    "string",
    "string_constant",
    "time",
    "time_constant",
    "value",
    "list",
    "repeat",
    "within",
    "interval",
    "qualifier",
    "obs_op",
    "bool_op",
    "comp_op",
    "object",
    "property",
    "index",
    "step",
    "path",
    "comparison_exists",
    "comparison_normal",
    "comparison",
    "comparison_expression",
    "observation",
    "observation_group",
    "inner_expression",
    "expression",
    "pattern",
};

static_assert(static_cast<std::size_t>(Rule::pattern) + 1 == rule_count);

// The rules of the comparison operators, from `=` to ISSUPERSET.
constexpr bool is_comparison_operator(Rule rule) {
    switch (rule) {
        case Rule::equal:
        case Rule::not_equal:
        case Rule::gt:
        case Rule::lt:
        case Rule::ge:
        case Rule::le:
        case Rule::in:
        case Rule::like:
        case Rule::match:
        case Rule::issubset:
        case Rule::issuperset:
            return true;
        default:
            return false;
    }
}

// How many syntax-tree nodes building from a node of each rule puts on the heap: an
// operator moves its two operands into nodes of their own, a qualifier its operand; a
// list's values take a node's room.
inline constexpr std::array<std::uint8_t, rule_count> heap_nodes_made = [] {
    std::array<std::uint8_t, rule_count> made{};
    made[static_cast<std::size_t>(Rule::and_)] = 2;
    made[static_cast<std::size_t>(Rule::or_)] = 2;
    made[static_cast<std::size_t>(Rule::followedby)] = 2;
    made[static_cast<std::size_t>(Rule::qualifier)] = 1;
    made[static_cast<std::size_t>(Rule::list)] = 1;
    return made;
}();

// The steps an object path keeps inside its comparison; a longer path's steps take a
// node's room as well.
inline constexpr std::size_t inline_path_steps = 2;

// The rules whose text becomes a text of the syntax tree: an object type, a property name,
// a string, hex or binary constant.
inline constexpr std::array<bool, rule_count> makes_tree_text = [] {
    std::array<bool, rule_count> makes{};
    for (const Rule rule : {Rule::object, Rule::property, Rule::string, Rule::hex, Rule::bin}) {
        makes[static_cast<std::size_t>(rule)] = true;
    }
    return makes;
}();

constexpr std::string_view display_name(Rule rule) {
    return rule_names[static_cast<std::size_t>(rule)];
}

}  // namespace quarnel::parser
