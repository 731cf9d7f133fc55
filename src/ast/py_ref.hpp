// The one owning handle for Python objects, and small constructors of plain values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace quarnel::py {

// One strong reference to a Python object (or none). Move-only; the destructor drops it.
class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a reference the caller already owns (the result of a "new reference" call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    template <typename T>
    static PyRef steal(T* object) noexcept {
        return PyRef(reinterpret_cast<PyObject*>(object));
    }
    // Adds a reference of its own to a borrowed object.
    static PyRef new_reference(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, which now owns it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

inline PyRef none() { return PyRef::new_reference(Py_None); }
inline PyRef not_implemented() { return PyRef::new_reference(Py_NotImplemented); }
inline PyRef boolean(bool value) { return PyRef::steal(PyBool_FromLong(value ? 1 : 0)); }

// A str from UTF-8 text; invalid UTF-8 raises UnicodeDecodeError.
inline PyRef text(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// A str for a message: invalid bytes become U+FFFD, so reporting one error never
// raises another.
inline PyRef message_text(std::string_view utf8) {
    return PyRef::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                             "replace"));
}

// Raises `type` with a UTF-8 message; should even the message fail, that error is the one set.
inline void raise_message(PyObject* type, std::string_view utf8) {
    const PyRef message = message_text(utf8);
    if (message) {
        PyErr_SetObject(type, message.get());
    }
}

}  // namespace quarnel::py
