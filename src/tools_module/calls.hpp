// What every function of quarnel_tools does with its call: binds its arguments to named
// parameters, reads pattern text, and lets other threads run during C++ work.
#pragma once

#include "ast/py_boundary.hpp"  // first: it brings in Python.h

#include <array>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "ast/ast.hpp"

namespace quarnel::py {

// The parameters of one function: `positional` of them may be given by position, all by
// keyword; the first `required` must be given.
struct Signature {
    const char* function;
    std::initializer_list<const char*> names;
    std::size_t positional;
    std::size_t required;
};

// Fills `bound` (one slot per name, borrowed, null when not given) from a METH_FASTCALL |
// METH_KEYWORDS call; false with TypeError set, worded as Python words it, on a mismatch.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound);

// The UTF-8 text of a str argument, borrowed from the object; nothing with TypeError (not
// a str) or UnicodeEncodeError (a lone surrogate) set.
std::optional<std::string_view> text_argument(const Signature& signature, const char* name,
                                              PyObject* value);

// A function of one pattern-text parameter: binds it and hands its UTF-8 text on.
template <typename Body>
PyRef with_pattern(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Body&& body) {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
        return {};
    }
    const std::optional<std::string_view> pattern = text_argument(signature, "pattern", bound[0]);
    if (!pattern) {
        return {};
    }
    return body(*pattern);
}

// The tree of pattern text, parsed with the lock released when that pays; null with
// ValueError set, holding the parser's message as quarnel.parse() gives it, when rejected.
// Shared as quarnel.parse() shares it: the callers only read it, and it is dropped the
// cheaper way.
std::shared_ptr<const ast::PatternExpr> parse_or_raise(std::string_view pattern);

// The slot of a METH_FASTCALL | METH_KEYWORDS function whose body returns a PyRef; the
// fast-call signature travels through the generic slot type.
template <auto Body>
PyCFunction fast_call() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry<Body>::call));
}

// Other threads run while one of these lives; no Python object may be touched meanwhile.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() { PyEval_RestoreThread(saved_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `work` with the lock released when the text is long enough to repay the switch.
template <typename Work>
auto run_released_for(std::string_view text, Work&& work) {
    constexpr std::size_t worth_releasing = 2048;
    if (text.size() < worth_releasing) {
        return work();
    }
    const InterpreterLockReleased released;
    return work();
}

}  // namespace quarnel::py
