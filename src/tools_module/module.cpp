// The extension module quarnel_tools: definition, per-module state and initialisation.
//
// Multi-phase initialisation: PyInit_quarnel_tools only hands the definition to the import
// machinery, which creates the module with zeroed state storage and runs the exec slot.
// Every Python object the module owns lives in that state, so each module object (a second
// import after removal from sys.modules included) is complete and independent.
#include "tools_module/state.hpp"  // first: it brings in Python.h

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace quarnel::py {

namespace {

// Python allocates the state zeroed; the C++ object is constructed by the exec slot, so
// tear-down must know whether it ever was.
struct StateStorage {
    bool constructed;
    alignas(ModuleState) unsigned char bytes[sizeof(ModuleState)];
};

StateStorage& storage_of(PyObject* module) {
    return *static_cast<StateStorage*>(PyModule_GetState(module));
}

ModuleState* constructed_state(PyObject* module) {
    StateStorage* const storage = static_cast<StateStorage*>(PyModule_GetState(module));
    if (storage == nullptr || !storage->constructed) {
        return nullptr;
    }
    return std::launder(reinterpret_cast<ModuleState*>(storage->bytes));
}

using FeatureHook = bool (*)(PyObject*, ModuleState&);

// The feature sets, added in this order.
constexpr std::array<FeatureHook, 4> features{
    &add_toolkit,
    &add_tree_tools,
    &add_matching,
    &add_strict_checks,
};

// The internal-fault class is a process-wide record of this module's own. Once the
// interpreter that made it is finalised the class is gone, so the record is forgotten and
// the next interpreter makes its own. Exit callbacks are spent when they run, hence the
// flag that lets the next interpreter register again.
std::atomic<bool> forgetting_registered{false};

void forget_process_records() noexcept {
    internal_fault_class().store(nullptr);
    forgetting_registered.store(false);
}

bool register_forgetting() {
    if (forgetting_registered.exchange(true)) {
        return true;
    }
    if (Py_AtExit(&forget_process_records) < 0) {
        forgetting_registered.store(false);
        PyErr_SetString(PyExc_ImportError, "quarnel_tools: no room left for an exit callback");
        return false;
    }
    return true;
}

PyRef fill_module(PyObject* module) {
    if (!register_forgetting()) {
        return {};
    }
    StateStorage& storage = storage_of(module);
    ModuleState* const state = std::construct_at(reinterpret_cast<ModuleState*>(storage.bytes));
    storage.constructed = true;
    const PyRef all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
        return {};
    }
    for (const FeatureHook add : features) {
        if (!add(module, *state)) {
            return {};
        }
    }
    return none();
}

int exec_module(PyObject* module) noexcept {
    const PyRef done = PyRef::steal(guarded([module] { return fill_module(module); }));
    return done ? 0 : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    ModuleState* const state = constructed_state(module);
    int status = 0;
    if (state != nullptr) {
        state->for_each_object([&](const PyRef& object) {
            if (status == 0 && object) {
                status = visit(object.get(), arg);
            }
        });
    }
    return status;
}

int clear_module(PyObject* module) noexcept {
    if (ModuleState* const state = constructed_state(module)) {
        state->for_each_object([](PyRef& object) { PyRef().swap(object); });
    }
    return 0;
}

void free_module(void* module) noexcept {
    PyObject* const object = static_cast<PyObject*>(module);
    if (ModuleState* const state = constructed_state(object)) {
        std::destroy_at(state);
        storage_of(object).constructed = false;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The call boundary's internal-fault class is one object for the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Nothing here relies on the interpreter lock: no state is shared between calls but
    // the module state, which is filled before any call and then only read.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quarnel_tools",
    "Tools over STIX patterns: validity, tree export, observables, canonical text, inspection\n"
    "and strict checks. Every function takes pattern text.",
    sizeof(StateStorage),
    nullptr,
    module_slots,
    &traverse_module,
    &clear_module,
    &free_module,
};

// Appends `name` to the module's __all__.
bool list_in_all(PyObject* module, const char* name) {
    const PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    const PyRef key = text(name);
    return all && key && PyList_Append(all.get(), key.get()) == 0;
}

}  // namespace

ModuleState& state_of_module(PyObject* module) {
    return *std::launder(reinterpret_cast<ModuleState*>(storage_of(module).bytes));
}

ModuleState* state_of_class(PyTypeObject* defining_class) {
    PyObject* const module = PyType_GetModuleByDef(defining_class, &module_definition);
    return module == nullptr ? nullptr : constructed_state(module);
}

bool add_functions(PyObject* module, PyMethodDef* functions) {
    if (PyModule_AddFunctions(module, functions) < 0) {
        return false;
    }
    for (const PyMethodDef* function = functions; function->ml_name != nullptr; ++function) {
        if (!list_in_all(module, function->ml_name)) {
            return false;
        }
    }
    return true;
}

bool add_public_object(PyObject* module, const char* name, PyObject* object) {
    return object != nullptr && PyModule_AddObjectRef(module, name, object) == 0 &&
           list_in_all(module, name);
}

}  // namespace quarnel::py

PyMODINIT_FUNC PyInit_quarnel_tools() {
    return PyModuleDef_Init(&quarnel::py::module_definition);
}
