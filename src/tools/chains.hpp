// Operator chains of the syntax tree, seen flat.
//
// The builder folds `a op b op c ...` from the left, so a chain is a spine of composites
// along their left operands. Walking that spine in a loop keeps every tool's recursion to
// the right operands, whose nesting the parser bounds.
#pragma once

#include <algorithm>
#include <variant>
#include <vector>

#include "ast/ast.hpp"

namespace quarnel::tools {

template <typename Expr, typename Op>
struct Chain {
    std::vector<const Expr*> operands;  // in text order; the first is no composite
    std::vector<Op> operators;          // operators[i] stands between operands i and i + 1
};

using PatternChain = Chain<ast::PatternExpr, ast::ObservationOp>;
using ComparisonChain = Chain<ast::ComparisonExpr, ast::BooleanOp>;

template <typename Expr, typename Composite, typename Op>
Chain<Expr, Op> flatten_chain(const Composite& top) {
    Chain<Expr, Op> chain;
    const Composite* composite = &top;
    while (true) {
        chain.operands.push_back(composite->right.get());
        chain.operators.push_back(composite->op);
        const Expr& left = *composite->left;
        composite = std::get_if<Composite>(&left.value);
        if (composite == nullptr) {
            chain.operands.push_back(&left);
            break;
        }
    }
    std::reverse(chain.operands.begin(), chain.operands.end());
    std::reverse(chain.operators.begin(), chain.operators.end());
    return chain;
}

inline PatternChain flatten(const ast::CompositePattern& top) {
    return flatten_chain<ast::PatternExpr, ast::CompositePattern, ast::ObservationOp>(top);
}

inline ComparisonChain flatten(const ast::CompositeComparison& top) {
    return flatten_chain<ast::ComparisonExpr, ast::CompositeComparison, ast::BooleanOp>(top);
}

// Keywords as written in patterns.
inline const char* keyword(ast::ObservationOp op) {
    switch (op) {
        case ast::ObservationOp::AND: return "AND";
        case ast::ObservationOp::OR: return "OR";
        case ast::ObservationOp::FOLLOWEDBY: return "FOLLOWEDBY";
    }
    return "?";
}

inline const char* keyword(ast::BooleanOp op) { return op == ast::BooleanOp::AND ? "AND" : "OR"; }

const char* keyword(ast::ComparisonOp op);
const char* keyword(const ast::ComparisonOperator& op);

}  // namespace quarnel::tools
