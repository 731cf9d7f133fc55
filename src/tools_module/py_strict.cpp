// The strict checks in Python: strict_findings() and strict_check_codes().
#include "tools_module/calls.hpp"  // first: it brings in Python.h

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/strict.hpp"
#include "tools_module/state.hpp"

namespace quarnel::py {

namespace {

using CodeSet = std::set<std::string, std::less<>>;

const Signature strict_findings_signature{"strict_findings", {"pattern", "ignore"}, 1, 1};

// The codes listed in `ignore` (an iterable of str); nothing with an exception set.
std::optional<CodeSet> ignored_codes(PyObject* ignore) {
    CodeSet codes;
    if (ignore == nullptr) {
        return codes;
    }
    if (PyUnicode_Check(ignore)) {
        PyErr_SetString(PyExc_TypeError,
                        "strict_findings(): 'ignore' must be an iterable of codes, not a single str");
        return std::nullopt;
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(ignore));
    if (!iterator) {
        return std::nullopt;
    }
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const std::optional<std::string_view> code = text_argument(strict_findings_signature, "ignore", item.get());
        if (!code) {
            return std::nullopt;
        }
        if (!tools::is_strict_code(*code)) {
            PyErr_Format(PyExc_ValueError, "strict_findings(): unknown strict-check code %R", item.get());
            return std::nullopt;
        }
        codes.emplace(*code);
    }
    if (PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return codes;
}

// Python indexes str by character, the checks count bytes of UTF-8. Findings come in the
// order of the text, so each conversion moves on from the last one instead of starting over:
// a pattern with a finding on every comparison costs linear time, not quadratic.
class CharacterIndexes {
public:
    explicit CharacterIndexes(std::string_view text) : text_(text) {}

    PyRef at(std::optional<std::size_t> byte_offset) {
        if (!byte_offset) {
            return none();
        }
        const std::size_t target = std::min(*byte_offset, text_.size());
        for (; byte_ < target; ++byte_) {
            characters_ += starts_character(text_[byte_]) ? 1 : 0;
        }
        while (byte_ > target) {
            --byte_;
            characters_ -= starts_character(text_[byte_]) ? 1 : 0;
        }
        return PyRef::steal(PyLong_FromSsize_t(characters_));
    }

private:
    static bool starts_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

    std::string_view text_;
    std::size_t byte_ = 0;
    Py_ssize_t characters_ = 0;  // characters that begin before byte_
};

PyRef finding_object(PyTypeObject* type, CharacterIndexes& indexes, const tools::Finding& finding) {
    PyRef object = PyRef::steal(PyStructSequence_New(type));
    if (!object) {
        return {};
    }
    std::array<PyRef, 4> fields{text(finding.code), message_text(finding.message), indexes.at(finding.begin),
                                indexes.at(finding.end)};
    for (std::size_t index = 0; index < fields.size(); ++index) {
        if (!fields[index]) {
            return {};
        }
        PyStructSequence_SetItem(object.get(), static_cast<Py_ssize_t>(index), fields[index].release());
    }
    return object;
}

PyRef finding_list(PyTypeObject* type, std::string_view pattern, const std::vector<tools::Finding>& findings,
                   const CodeSet& ignored) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) {
        return {};
    }
    CharacterIndexes indexes(pattern);
    for (const tools::Finding& finding : findings) {
        if (ignored.contains(finding.code)) {
            continue;
        }
        const PyRef object = finding_object(type, indexes, finding);
        if (!object || PyList_Append(list.get(), object.get()) < 0) {
            return {};
        }
    }
    return list;
}

PyRef strict_findings(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound{};
    if (!bind_arguments(strict_findings_signature, args, nargs, kwnames, bound)) {
        return {};
    }
    const std::optional<std::string_view> pattern = text_argument(strict_findings_signature, "pattern", bound[0]);
    if (!pattern) {
        return {};
    }
    const std::optional<CodeSet> ignored = ignored_codes(bound[1]);
    if (!ignored) {
        return {};
    }
    const auto findings = run_released_for(*pattern, [&] { return tools::strict_findings(*pattern); });
    if (!findings) {
        raise_message(PyExc_ValueError, findings.error().message());
        return {};
    }
    auto* const type = reinterpret_cast<PyTypeObject*>(state_of_module(module).toolkit.finding_class.get());
    return finding_list(type, *pattern, findings.value(), *ignored);
}

const Signature strict_check_codes_signature{"strict_check_codes", {}, 0, 0};

PyRef strict_check_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bind_arguments(strict_check_codes_signature, args, nargs, kwnames, {})) {
        return {};
    }
    PyRef codes = PyRef::steal(PyDict_New());
    if (!codes) {
        return {};
    }
    for (const tools::StrictCode& entry : tools::strict_codes()) {
        const PyRef summary = text(entry.summary);
        if (!summary || PyDict_SetItemString(codes.get(), std::string(entry.code).c_str(), summary.get()) < 0) {
            return {};
        }
    }
    return codes;
}

PyMethodDef strict_functions[] = {
    {"strict_findings", fast_call<&strict_findings>(), METH_FASTCALL | METH_KEYWORDS,
     "strict_findings(pattern, *, ignore=())\n--\n\n"
     "The findings of the strict checks for an accepted pattern, in the order of the text,\n"
     "leaving out those whose code is in `ignore`. Raises ValueError for a rejected pattern\n"
     "or an unknown code."},
    {"strict_check_codes", fast_call<&strict_check_codes>(), METH_FASTCALL | METH_KEYWORDS,
     "strict_check_codes()\n--\n\nA new dict of every strict-check code and what it reports."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_strict_checks(PyObject* module, ModuleState&) {
    return add_functions(module, strict_functions);
}

}  // namespace quarnel::py
