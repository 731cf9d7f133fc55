// Conversion of syntax tree values and subtrees into Python objects.
//
// Node objects share one immutable tree: each holds a shared_ptr that owns the whole
// tree and points at its own record, so exposing a child costs O(1) instead of a copy of
// its subtree. Python cannot tell: every read still returns a new object.
#pragma once

#include "ast/py_boundary.hpp"  // first: Python.h precedes the standard headers

#include <memory>
#include <optional>

#include "ast/ast.hpp"

namespace quarnel::py {

// One visitor made of several lambdas, one per alternative of a variant.
template <typename... Alternatives>
struct Overloaded : Alternatives... {
    using Alternatives::operator()...;
};
template <typename... Alternatives>
Overloaded(Alternatives...) -> Overloaded<Alternatives...>;

// A pointer to `part` that keeps the whole tree behind `whole` alive. Given a temporary, it
// takes over its share of the tree: every share counted is a locked add, and its end another.
template <typename Part, typename Whole>
std::shared_ptr<const Part> share(std::shared_ptr<const Whole> whole, const Part& part) {
    return std::shared_ptr<const Part>(std::move(whole), &part);
}

// Comparison, CompositeComparison, CompositePattern or QualifiedPattern; each takes over the
// share it is given.
PyRef pattern_to_pyobject(std::shared_ptr<const ast::PatternExpr> expr);
// Comparison or CompositeComparison.
PyRef comparison_expr_to_pyobject(std::shared_ptr<const ast::ComparisonExpr> expr);

// str, int, float, bool or datetime.datetime.
PyRef stix_value_to_pyobject(const ast::StixValue& value);
// None when absent, a new list for a list constant, else the converted value.
PyRef rhs_to_pyobject(const std::optional<ast::ComparisonRhs>& rhs);
// A naive datetime.datetime holding the UTC wall-clock time; ValueError outside its range.
PyRef datetime_to_pyobject(const ast::Timestamp& timestamp);

// Forgets the datetime interface once its interpreter is finalised.
void forget_datetime_api() noexcept;

// A new list holding convert(item) for each item, in order; no list on the first failure.
template <typename Items, typename Convert>
PyRef list_of(const Items& items, Convert&& convert) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) {
        return {};
    }
    Py_ssize_t slot = 0;
    for (const auto& item : items) {
        PyRef element = convert(item);
        if (!element) {
            return {};
        }
        PyList_SET_ITEM(list.get(), slot++, element.release());
    }
    return list;
}

}  // namespace quarnel::py
