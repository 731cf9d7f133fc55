#include "tools_module/calls.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "parser/builder.hpp"

namespace quarnel::py {

namespace {

std::size_t index_of(const Signature& signature, PyObject* keyword) {
    std::size_t index = 0;
    for (const char* name : signature.names) {
        if (PyUnicode_CompareWithASCIIString(keyword, name) == 0) {
            return index;
        }
        ++index;
    }
    return index;
}

bool too_many_positional(const Signature& signature, Py_ssize_t nargs) {
    const char* const noun = signature.positional == 1 ? "argument" : "arguments";
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional %s but %zd were given",
                 signature.function, signature.positional, noun, nargs);
    return false;
}

bool first_missing(const Signature& signature, std::span<PyObject*> bound) {
    for (std::size_t index = 0; index < signature.required; ++index) {
        if (bound[index] == nullptr) {
            const char* const name = *std::next(signature.names.begin(), static_cast<std::ptrdiff_t>(index));
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'",
                         signature.function, name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    if (nargs < 0 || static_cast<std::size_t>(nargs) > signature.positional) {
        return too_many_positional(signature, nargs);
    }
    std::copy(args, args + nargs, bound.begin());
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* const keyword = PyTuple_GET_ITEM(kwnames, i);
        const std::size_t index = index_of(signature, keyword);
        if (index == signature.names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.function, keyword);
            return false;
        }
        bound[index] = args[nargs + i];
    }
    return first_missing(signature, bound);
}

std::optional<std::string_view> text_argument(const Signature& signature, const char* name,
                                              PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s",
                     signature.function, name, Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::shared_ptr<const ast::PatternExpr> parse_or_raise(std::string_view pattern) {
    auto parsed = run_released_for(pattern, [&] { return parser::parse_shared_pattern(pattern); });
    if (!parsed) {
        raise_message(PyExc_ValueError, parsed.error().message());
        return nullptr;
    }
    return std::move(parsed).value();
}

}  // namespace quarnel::py
