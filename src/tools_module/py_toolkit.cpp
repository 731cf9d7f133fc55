// The toolkit's functions: each takes pattern text.
#include "tools_module/calls.hpp"  // first: it brings in Python.h

#include <array>
#include <optional>
#include <string_view>

#include "tools/validity.hpp"
#include "tools_module/state.hpp"

namespace quarnel::py {

namespace {

const Signature is_valid_pattern_signature{"is_valid_pattern", {"pattern"}, 1, 1};

PyRef is_valid_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_pattern(is_valid_pattern_signature, args, nargs, kwnames, [](std::string_view pattern) {
        return boolean(run_released_for(pattern, [&] { return tools::is_valid_pattern(pattern); }));
    });
}

PyMethodDef toolkit_functions[] = {
    {"is_valid_pattern", fast_call<&is_valid_pattern>(), METH_FASTCALL | METH_KEYWORDS,
     "is_valid_pattern(pattern)\n--\n\nTrue when quarnel.parse() accepts the pattern text."},
    {nullptr, nullptr, 0, nullptr},
};

// A finding of the strict checks: a named pair of its stable code and its message.
PyStructSequence_Field finding_fields[] = {
    {"code", "the check's stable code, e.g. 'hash-value'"},
    {"message", "what is wrong, naming the comparison or qualifier"},
    {"start", "index in the pattern of the first character concerned, or None"},
    {"end", "index in the pattern after the last character concerned, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc finding_description = {
    "quarnel_tools.Finding",
    "One finding of the strict checks: (code, message, start, end).",
    finding_fields,
    4,
};

}  // namespace

bool add_toolkit(PyObject* module, ModuleState& state) {
    state.toolkit.finding_class = PyRef::steal(PyStructSequence_NewType(&finding_description));
    return add_functions(module, toolkit_functions) &&
           add_public_object(module, "Finding", state.toolkit.finding_class.get());
}

}  // namespace quarnel::py
