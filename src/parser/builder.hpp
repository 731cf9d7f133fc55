// Tree building: from the grammar's parse tree to the syntax tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ast/ast.hpp"
#include "parser/parse_tree.hpp"
#include "parser/result.hpp"

namespace quarnel::parser {

// Where parse_pattern and parse_shared_pattern build from a parse tree after all (see
// parse_pattern), its nodes (about one per four bytes of the pattern) lie in a scratch of
// this many, a ScratchNodes on the stack, where they fit it and the thread's stack has room
// for it beside the deepest nesting.
inline constexpr std::size_t scratch_nodes = 256;
using ScratchNodes = std::array<FlatNode, scratch_nodes>;

// Parses one pattern text into its syntax tree, or the error that rejected it. The tree is
// built while the grammar matches the text, without a parse tree; where the grammar takes a
// turn that the building cannot follow (it backs out of an attempt after the tree changed),
// the tree is built again from the grammar's parse tree.
Result<ast::PatternExpr> parse_pattern(std::string_view text);

// The same tree, shared as a constant and kept with the memory of its nodes: when it owns
// nothing outside that memory (no list, no path of more than two steps), it is dropped
// without a walk over its nodes. The cheaper way to a tree that is only read.
Result<std::shared_ptr<const ast::PatternExpr>> parse_shared_pattern(std::string_view text);

// The qualifiers that follow one observation or group.
struct QualifierSet {
    std::optional<double> within;
    std::optional<std::uint32_t> repeat;
    std::optional<ast::Timestamp> start;
    std::optional<ast::Timestamp> stop;

    bool empty() const { return !within && !repeat && !start && !stop; }
};

Result<ast::PatternExpr> parse_pair(Node node);
Result<ast::PatternExpr> parse_expression(Node node);
Status parse_qualifier(Node node, QualifierSet& set);

Result<ast::ComparisonExpr> parse_comparison(Node node);
Result<ast::ObjectPath> parse_object_path(Node node);
Result<ast::StixValue> parse_value(Node node);
Result<ast::ComparisonRhs::List> parse_list(Node node);

}  // namespace quarnel::parser
