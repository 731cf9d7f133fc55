// The Python operator classes ComparisonOp, UnaryOp, BooleanOp and ObservationOp.
#pragma once

#include "ast/py_boundary.hpp"  // first: Python.h precedes the standard headers

#include "ast/ast.hpp"

namespace quarnel::py {

enum class OperatorClass { Comparison, Unary, Boolean, Observation };

// The class object, created with its member attributes on first use and kept while the
// interpreter lives. Borrowed; null with an exception set if it could not be created.
PyObject* operator_class(OperatorClass which);

// Forgets the class objects once their interpreter is finalised; touches none of them.
void forget_operator_classes() noexcept;

// A new instance holding `op`, distinct from the class attribute of the same member.
PyRef operator_object(ast::ComparisonOp op);
PyRef operator_object(ast::UnaryOp op);
PyRef operator_object(ast::BooleanOp op);
PyRef operator_object(ast::ObservationOp op);

}  // namespace quarnel::py
