// The extension module quarnel: its definition, PyInit_quarnel and parse().
#include "ast/py_boundary.hpp"  // first: it brings in Python.h

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "ast/py_convert.hpp"
#include "ast/py_nodes.hpp"
#include "ast/py_operators.hpp"
#include "parser/builder.hpp"

namespace quarnel::py {

namespace {

// ---- parse(pattern)

// Binds parse()'s single parameter, given by position or by keyword. Borrowed; null with
// TypeError set when the arguments do not fit.
PyObject* bind_pattern(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "parse() takes 1 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    PyObject* pattern = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* const name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "pattern") != 0) {
            PyErr_Format(PyExc_TypeError, "parse() got an unexpected keyword argument '%U'",
                         name);
            return nullptr;
        }
        if (pattern != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "parse() got multiple values for argument 'pattern'");
            return nullptr;
        }
        pattern = args[nargs + i];
    }
    if (pattern == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "parse() missing 1 required positional argument: 'pattern'");
    }
    return pattern;
}

// The UTF-8 text of a str, borrowed from the object; nothing with an exception set.
std::optional<std::string_view> utf8_of(PyObject* pattern) {
    if (!PyUnicode_Check(pattern)) {
        const PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(pattern)));
        if (type_name) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'pattern': '%U' object cannot be converted to 'str'",
                         type_name.get());
        }
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(pattern, &size);
    if (data == nullptr) {
        return std::nullopt;  // a lone surrogate: the encoder's UnicodeEncodeError stands
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

void raise_parse_error(const parser::ParseError& error) {
    raise_message(PyExc_ValueError, error.message());
}

// The interpreter lock stays held for the whole call, grammar run included.
PyRef parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const pattern = bind_pattern(args, nargs, kwnames);
    if (pattern == nullptr) {
        return {};
    }
    const std::optional<std::string_view> utf8 = utf8_of(pattern);
    if (!utf8) {
        return {};
    }
    auto result = parser::parse_shared_pattern(*utf8);
    if (!result) {
        raise_parse_error(result.error());
        return {};
    }
    return pattern_to_pyobject(std::move(result).value());
}

PyMethodDef parse_definition = {
    "parse",
    // The fast-call-with-keywords signature travels through the generic slot type.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry<&parse>::call)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(pattern)\n--\n\n",
};

// ---- Module initialisation

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quarnel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

using ClassObject = PyObject* (*)();

// The classes in the order in which they are added to the module and to __all__.
constexpr std::array<std::pair<const char*, ClassObject>, 10> module_classes{{
    {"ComparisonOp", [] { return operator_class(OperatorClass::Comparison); }},
    {"UnaryOp", [] { return operator_class(OperatorClass::Unary); }},
    {"BooleanOp", [] { return operator_class(OperatorClass::Boolean); }},
    {"ObservationOp", [] { return operator_class(OperatorClass::Observation); }},
    {"PathComponent", [] { return node_class(NodeClass::PathComponent); }},
    {"ObjectPath", [] { return node_class(NodeClass::ObjectPath); }},
    {"Comparison", [] { return node_class(NodeClass::Comparison); }},
    {"CompositeComparison", [] { return node_class(NodeClass::CompositeComparison); }},
    {"CompositePattern", [] { return node_class(NodeClass::CompositePattern); }},
    {"QualifiedPattern", [] { return node_class(NodeClass::QualifiedPattern); }},
}};

// Sets the module attribute and lists its name in __all__.
bool add_public(PyObject* module, PyObject* all, const char* name, PyObject* object) {
    if (object == nullptr) {
        return false;
    }
    const PyRef key = text(name);
    return key && PyList_Append(all, key.get()) == 0 &&
           PyModule_AddObjectRef(module, name, object) == 0;
}

PyRef make_parse_function(PyObject* module) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return {};
    }
    return PyRef::steal(PyCFunction_NewEx(&parse_definition, module, module_name.get()));
}

bool fill_module(PyObject* module) {
    const PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
        return false;
    }
    for (const auto& [name, class_object] : module_classes) {
        if (!add_public(module, all.get(), name, class_object())) {
            return false;
        }
    }
    const PyRef parse_function = make_parse_function(module);
    return add_public(module, all.get(), parse_definition.ml_name, parse_function.get());
}

void forget_process_records() noexcept;

PyRef create_module() {
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        return {};
    }
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return {};
    }
#endif
    if (!fill_module(module.get())) {
        return {};
    }
    // Callbacks run once, at the end of finalisation; a racing creator registering a
    // second one does no harm.
    if (Py_AtExit(&forget_process_records) < 0) {
        PyErr_SetString(PyExc_ImportError, "quarnel: no room left for an exit callback");
        return {};
    }
    return module;
}

// The first interpreter to initialise the module owns it until it is finalised.
std::atomic<std::int64_t> owner_interpreter{-1};
// Filled once; a repeated initialisation returns the same module with the same classes.
std::atomic<PyObject*> module_object{nullptr};

// Once the interpreter that owns the records is finalised, its objects are gone: the next
// interpreter initialises the module afresh. Runs after finalisation, so it touches no
// Python object.
void forget_process_records() noexcept {
    module_object.store(nullptr);
    forget_operator_classes();
    forget_node_classes();
    forget_datetime_api();
    internal_fault_class().store(nullptr);
    owner_interpreter.store(-1);
}

bool claim_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    std::int64_t expected = -1;
    if (owner_interpreter.compare_exchange_strong(expected, current) || expected == current) {
        return true;
    }
    PyErr_SetString(PyExc_ImportError,
                    "quarnel does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return false;
}

PyRef initialise() {
    if (!claim_interpreter()) {
        return {};
    }
    return PyRef::new_reference(fill_once(module_object, &create_module));
}

}  // namespace

}  // namespace quarnel::py

PyMODINIT_FUNC PyInit_quarnel() {
    return quarnel::py::guarded(&quarnel::py::initialise);
}
