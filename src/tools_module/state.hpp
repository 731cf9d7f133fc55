// The per-module state of quarnel_tools, and how feature sets join the module.
//
// Each feature file (py_toolkit.cpp, ...) defines an `add_<feature>(module, state)` hook
// that module.cpp's exec slot calls in turn: it adds the feature's functions, classes and
// exception classes to the module and keeps its Python objects in its own member of
// ModuleState. A new feature set adds a member below, lists its objects in
// `for_each_object`, and puts its hook in module.cpp's feature table.
#pragma once

#include "ast/py_boundary.hpp"  // first: it brings in Python.h

#include <array>
#include <initializer_list>
#include <string_view>

namespace quarnel::py {

// The keys of the records that observables() and inspect_pattern() return.
inline constexpr std::array<std::string_view, 20> record_key_names{
    "observation", "object_type", "path", "steps", "operator", "negated", "constants",
    "qualifiers", "type", "value", "repeats", "within", "start", "stop", "object_types",
    "object_paths", "comparison_operators", "observation_operators", "observations", "comparisons"};

struct ToolkitState {
    PyRef finding_class;  // Finding: one result of the strict checks
    // record_key_names as interned str, made once: every record shares them, and their
    // hashes are computed once.
    std::array<PyRef, record_key_names.size()> record_keys;

    auto objects() {
        std::array<PyRef*, 1 + record_key_names.size()> all{&finding_class};
        for (std::size_t i = 0; i < record_keys.size(); ++i) {
            all[i + 1] = &record_keys[i];
        }
        return all;
    }
};

struct MatchState {
    PyRef pattern_error;       // PatternError(ValueError): a pattern that does not compile
    PyRef data_error;          // DataError(ValueError): observed data that does not load
    PyRef match_error;         // MatchError(ValueError): a value error or the search budget
    PyRef compiled_class;      // CompiledPattern
    PyRef observations_class;  // Observations
    PyRef result_class;        // MatchResult
    PyRef index_class;         // PatternIndex

    auto objects() {
        return std::array{&pattern_error, &data_error, &match_error, &compiled_class,
                          &observations_class, &result_class, &index_class};
    }
};

struct ModuleState {
    ToolkitState toolkit;
    MatchState matching;

    // Every Python object that the state owns, for the garbage collector and tear-down.
    template <typename Visit>
    void for_each_object(Visit&& visit) {
        for (PyRef* object : toolkit.objects()) {
            visit(*object);
        }
        for (PyRef* object : matching.objects()) {
            visit(*object);
        }
    }
};

// The state of a quarnel_tools module object: what functions receive as their `self`.
ModuleState& state_of_module(PyObject* module);
// The state of the module that created `defining_class`, for methods of the module's own
// classes; null with TypeError set when the class is not one of them.
ModuleState* state_of_class(PyTypeObject* defining_class);

// Adds `functions` (ended by an empty entry) to the module and their names to __all__.
bool add_functions(PyObject* module, PyMethodDef* functions);
// Sets the module attribute `name` to `object` and lists it in __all__.
bool add_public_object(PyObject* module, const char* name, PyObject* object);

// The feature hooks; each returns false with a Python exception set.
bool add_toolkit(PyObject* module, ModuleState& state);
bool add_tree_tools(PyObject* module, ModuleState& state);
bool add_matching(PyObject* module, ModuleState& state);
bool add_strict_checks(PyObject* module, ModuleState& state);

}  // namespace quarnel::py
