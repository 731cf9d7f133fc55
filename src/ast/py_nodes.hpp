// The Python node classes: Comparison, CompositeComparison, CompositePattern,
// QualifiedPattern, ObjectPath and PathComponent.
#pragma once

#include "ast/py_boundary.hpp"  // first: Python.h precedes the standard headers

#include <memory>

#include "ast/ast.hpp"

namespace quarnel::py {

enum class NodeClass {
    PathComponent,
    ObjectPath,
    Comparison,
    CompositeComparison,
    CompositePattern,
    QualifiedPattern,
};

// The class object, created on first use and kept while the interpreter lives.
// Borrowed; null with an exception set if it could not be created.
PyObject* node_class(NodeClass which);

// Forgets the class objects once their interpreter is finalised; touches none of them.
void forget_node_classes() noexcept;

// A new node object wrapping `record`, which shares ownership of the tree it lies in.
// Defined for the six records above, each of which has a node class.
template <typename Record>
PyRef node_object(std::shared_ptr<const Record> record);

}  // namespace quarnel::py
