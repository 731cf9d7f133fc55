#include "ast/py_operators.hpp"

#include <array>
#include <atomic>
#include <cstdint>

namespace quarnel::py {

namespace {

struct Member {
    const char* name;   // the class attribute, e.g. "ISSUBSET"
    const char* value;  // the operator as written in a pattern, e.g. "!="
};

// One traits record per enumeration: the class name and the members in the order of
// their integer values, which is also the order in which the class attributes appear.
template <typename Op>
struct Operator;

template <>
struct Operator<ast::ComparisonOp> {
    static constexpr const char* type_name = "builtins.ComparisonOp";
    static constexpr const char* class_name = "ComparisonOp";
    static constexpr std::array<Member, 11> members{{
        {"EQ", "="},
        {"NEQ", "!="},
        {"GT", ">"},
        {"LT", "<"},
        {"GE", ">="},
        {"LE", "<="},
        {"IN", "IN"},
        {"LIKE", "LIKE"},
        {"MATCHES", "MATCHES"},
        {"ISSUBSET", "ISSUBSET"},
        {"ISSUPERSET", "ISSUPERSET"},
    }};
};

template <>
struct Operator<ast::UnaryOp> {
    static constexpr const char* type_name = "builtins.UnaryOp";
    static constexpr const char* class_name = "UnaryOp";
    static constexpr std::array<Member, 1> members{{{"EXISTS", "EXISTS"}}};
};

template <>
struct Operator<ast::BooleanOp> {
    static constexpr const char* type_name = "builtins.BooleanOp";
    static constexpr const char* class_name = "BooleanOp";
    static constexpr std::array<Member, 2> members{{{"AND", "AND"}, {"OR", "OR"}}};
};

template <>
struct Operator<ast::ObservationOp> {
    static constexpr const char* type_name = "builtins.ObservationOp";
    static constexpr const char* class_name = "ObservationOp";
    static constexpr std::array<Member, 3> members{{
        {"AND", "AND"},
        {"OR", "OR"},
        {"FOLLOWEDBY", "FOLLOWEDBY"},
    }};
};

struct OperatorObject {
    PyObject ob_base;
    std::uint8_t value;
};

std::uint8_t value_of(PyObject* self) {
    return reinterpret_cast<const OperatorObject*>(self)->value;
}

template <typename Op>
const Member& member_of(PyObject* self) {
    return Operator<Op>::members.at(value_of(self));  // out of range: a broken invariant
}

PyRef new_instance(PyObject* type, std::uint8_t value) {
    PyRef instance = PyRef::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (instance) {
        reinterpret_cast<OperatorObject*>(instance.get())->value = value;
    }
    return instance;
}

template <typename Op>
std::atomic<PyObject*>& class_slot() {
    static std::atomic<PyObject*> slot{nullptr};
    return slot;
}

template <typename Op>
PyObject* class_object();

template <typename Op>
PyRef value_getter(PyObject* self, void*) {
    return text(member_of<Op>(self).value);
}

template <typename Op>
PyRef repr(PyObject* self) {
    return PyRef::steal(
        PyUnicode_FromFormat("%s.%s", Operator<Op>::class_name, member_of<Op>(self).name));
}

PyRef to_int(PyObject* self) {
    return PyRef::steal(PyLong_FromLong(value_of(self)));
}

// Equality by value with members of the same class and with integers (anything with
// __index__); orderings and other types are left to the interpreter's fallbacks.
template <typename Op>
PyRef richcompare(PyObject* self, PyObject* other, int operation) {
    PyObject* const type = class_object<Op>();
    if (type == nullptr) {
        return {};
    }
    const auto cls = reinterpret_cast<PyTypeObject*>(type);
    if (!PyObject_TypeCheck(self, cls) || operation < Py_LT || operation > Py_GE) {
        return not_implemented();
    }
    long theirs = 0;
    if (PyObject_TypeCheck(other, cls)) {
        theirs = value_of(other);
    } else {
        theirs = PyLong_AsLong(other);
        if (theirs == -1 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            return not_implemented();
        }
    }
    const bool equal = theirs == value_of(self);
    if (operation == Py_EQ) {
        return boolean(equal);
    }
    if (operation == Py_NE) {
        return boolean(!equal);
    }
    return not_implemented();
}

// The members in a class's dictionary refer back to the class, and the cycle collector
// does not see them (they are not tracked), so a class that is given up (its creation
// failed half way, or a concurrent creation won) is freed only once its dictionary lets
// them go. Raises nothing, so an exception being reported stays as it is.
void release_members(PyObject* type) noexcept {
    PyDict_Clear(reinterpret_cast<PyTypeObject*>(type)->tp_dict);
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

template <typename Op>
PyRef create_class() {
    static PyGetSetDef getset[] = {
        {"value", Entry<&value_getter<Op>>::call, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&free_instance)},
        {Py_tp_repr, reinterpret_cast<void*>(&Entry<&repr<Op>>::call)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&Entry<&richcompare<Op>>::call)},
        {Py_nb_int, reinterpret_cast<void*>(&Entry<&to_int>::call)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    PyType_Spec spec{Operator<Op>::type_name, sizeof(OperatorObject), 0, final_class_flags,
                     slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) {
        return {};
    }
    // The class is immutable from Python, so its members go straight into its dictionary.
    const auto cls = reinterpret_cast<PyTypeObject*>(type.get());
    std::uint8_t value = 0;
    for (const Member& member : Operator<Op>::members) {
        const PyRef instance = new_instance(type.get(), value++);
        if (!instance || PyDict_SetItemString(cls->tp_dict, member.name, instance.get()) < 0) {
            release_members(type.get());
            return {};
        }
    }
    PyType_Modified(cls);
    return type;
}

template <typename Op>
PyObject* class_object() {
    return fill_once(class_slot<Op>(), &create_class<Op>, &release_members);
}

template <typename Op>
PyRef new_operator(Op op) {
    PyObject* const type = class_object<Op>();
    if (type == nullptr) {
        return {};
    }
    return new_instance(type, static_cast<std::uint8_t>(op));
}

}  // namespace

void forget_operator_classes() noexcept {
    class_slot<ast::ComparisonOp>().store(nullptr);
    class_slot<ast::UnaryOp>().store(nullptr);
    class_slot<ast::BooleanOp>().store(nullptr);
    class_slot<ast::ObservationOp>().store(nullptr);
}

PyObject* operator_class(OperatorClass which) {
    switch (which) {
        case OperatorClass::Comparison:
            return class_object<ast::ComparisonOp>();
        case OperatorClass::Unary:
            return class_object<ast::UnaryOp>();
        case OperatorClass::Boolean:
            return class_object<ast::BooleanOp>();
        case OperatorClass::Observation:
            break;
    }
    return class_object<ast::ObservationOp>();
}

PyRef operator_object(ast::ComparisonOp op) {
    return new_operator(op);
}
PyRef operator_object(ast::UnaryOp op) {
    return new_operator(op);
}
PyRef operator_object(ast::BooleanOp op) {
    return new_operator(op);
}
PyRef operator_object(ast::ObservationOp op) {
    return new_operator(op);
}

}  // namespace quarnel::py
