// The call boundary between the interpreter and C++: no C++ exception crosses it, and the
// once-filled process-wide slots and class flags that every entry relies on.
#pragma once

#include "ast/py_ref.hpp"  // first: it brings in Python.h

#include <atomic>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace quarnel::py {

// Every class of the module is final, cannot be instantiated from Python, and has no
// instance __dict__ or weak references (neither is requested). The classes are immutable
// too: a class whose __new__ could be replaced would let Python create an instance
// without its payload.
inline constexpr unsigned int final_class_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// The common end of every tp_dealloc here, after the payload is destroyed: frees the
// memory, then drops the reference that each instance of a heap type holds to its type.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* const type = Py_TYPE(self);
    type->tp_free(self);
    const PyRef type_reference = PyRef::steal(type);
}

// A process-wide object filled on first use and kept until the interpreter that made it
// is finalised (see forget_process_records in module.cpp). Racing fillers each build a
// candidate; the first to publish wins and the others hand theirs to `discard` before
// dropping it, so no lock is held while the interpreter runs.
template <typename Create, typename Discard>
PyObject* fill_once(std::atomic<PyObject*>& slot, Create&& create, Discard&& discard) {
    if (PyObject* existing = slot.load(std::memory_order_acquire)) {
        return existing;
    }
    PyRef candidate = create();
    if (!candidate) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
        return candidate.release();
    }
    discard(candidate.get());
    return expected;
}

template <typename Create>
PyObject* fill_once(std::atomic<PyObject*>& slot, Create&& create) {
    return fill_once(slot, std::forward<Create>(create), [](PyObject*) noexcept {});
}

// The class of internal faults, filled once.
inline std::atomic<PyObject*>& internal_fault_class() {
    static std::atomic<PyObject*> slot{nullptr};
    return slot;
}

// Raised for a broken invariant. Derived from BaseException so that ordinary
// `except Exception` handlers do not swallow it; deliberately not in the module namespace.
inline void raise_internal_fault(std::string_view what) {
    PyObject* const type = fill_once(internal_fault_class(), [] {
        return PyRef::steal(
            PyErr_NewException("quarnel.InternalFault", PyExc_BaseException, nullptr));
    });
    if (type == nullptr) {
        return;  // the failure to create the class is the exception left set
    }
    raise_message(type, what);
}

// Runs one entry point's body; whatever C++ exception escapes becomes a Python exception.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("unidentified internal fault");
    }
    return nullptr;
}

// Turns a function returning PyRef into an interpreter slot of the same parameters.
template <auto Body>
struct Entry;

template <typename... Args, PyRef (*Body)(Args...)>
struct Entry<Body> {
    static PyObject* call(Args... args) noexcept {
        return guarded([&] { return Body(args...); });
    }
};

}  // namespace quarnel::py
