// Tree export, canonical text, observables and inspection of one pattern, and the
// checker's engine for many patterns at once.
#include "tools_module/calls.hpp"  // first: it brings in Python.h

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>

#include "tools/batch.hpp"
#include "tools/canonical.hpp"
#include "tools/observables.hpp"
#include "tools/strict.hpp"
#include "tools/tree_json.hpp"
#include "tools_module/state.hpp"

namespace quarnel::py {

namespace {

// Parses the `pattern` argument and hands its tree to `body`; a rejected pattern raises
// ValueError with the parser's message, as quarnel.parse() does.
template <typename Body>
PyRef with_tree(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                Body&& body) {
    return with_pattern(signature, args, nargs, kwnames, [&](std::string_view pattern) -> PyRef {
        const std::shared_ptr<const ast::PatternExpr> tree = parse_or_raise(pattern);
        return tree ? body(pattern, *tree) : PyRef();
    });
}

// The str of a record key: the module's interned one when it is a known key.
PyRef record_key(const ToolkitState& state, std::string_view key) {
    for (std::size_t i = 0; i < record_key_names.size(); ++i) {
        if (record_key_names[i] == key) {
            return PyRef::new_reference(state.record_keys[i].get());
        }
    }
    return text(key);
}

// Records nest a few levels only, so the conversion may recurse.
PyRef to_python(const ToolkitState& state, const tools::Value& value) {
    return std::visit(
        [&state]<typename V>(const V& v) -> PyRef {
            if constexpr (std::is_same_v<V, std::nullptr_t>) {
                return none();
            } else if constexpr (std::is_same_v<V, bool>) {
                return boolean(v);
            } else if constexpr (std::is_same_v<V, std::int64_t>) {
                return PyRef::steal(PyLong_FromLongLong(v));
            } else if constexpr (std::is_same_v<V, double>) {
                return PyRef::steal(PyFloat_FromDouble(v));
            } else if constexpr (std::is_same_v<V, std::string>) {
                return text(v);
            } else if constexpr (std::is_same_v<V, tools::Array>) {
                PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
                for (std::size_t i = 0; list && i < v.size(); ++i) {
                    PyRef item = to_python(state, v[i]);
                    if (!item) {
                        return {};
                    }
                    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
                }
                return list;
            } else {
                PyRef dict = PyRef::steal(PyDict_New());
                for (const auto& [key, field] : v) {
                    const PyRef name = record_key(state, key);
                    const PyRef item = to_python(state, field);
                    if (!dict || !name || !item || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) {
                        return {};
                    }
                }
                return dict;
            }
        },
        value.data);
}

const Signature tree_json_signature{"tree_json", {"pattern"}, 1, 1};

PyRef tree_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_tree(tree_json_signature, args, nargs, kwnames, [](std::string_view pattern, const ast::PatternExpr& tree) {
        std::string out;
        run_released_for(pattern, [&] { tools::append_tree_json(out, tree); });
        return text(out);
    });
}

const Signature canonical_text_signature{"canonical_text", {"pattern"}, 1, 1};

PyRef canonical_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_tree(canonical_text_signature, args, nargs, kwnames, [](std::string_view, const ast::PatternExpr& tree) {
        try {
            return text(tools::canonical_text(tree));
        } catch (const tools::NoCanonicalText& error) {
            raise_message(PyExc_ValueError, error.what());
            return PyRef();
        }
    });
}

const Signature observables_signature{"observables", {"pattern"}, 1, 1};

PyRef observables(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ToolkitState& state = state_of_module(module).toolkit;
    return with_tree(observables_signature, args, nargs, kwnames, [&state](std::string_view, const ast::PatternExpr& tree) {
        tools::Array records;
        for (const tools::Observable& observable : tools::observables_of(tree)) {
            records.push_back(tools::to_value(observable));
        }
        return to_python(state, {std::move(records)});
    });
}

const Signature inspect_pattern_signature{"inspect_pattern", {"pattern"}, 1, 1};

PyRef inspect_pattern(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ToolkitState& state = state_of_module(module).toolkit;
    return with_tree(inspect_pattern_signature, args, nargs, kwnames, [&state](std::string_view, const ast::PatternExpr& tree) {
        return to_python(state, tools::inspection_of(tree));
    });
}

// ---- The checker's engine

constexpr std::array<std::pair<std::string_view, tools::Report>, 6> report_names{{
    {"rejections", tools::Report::rejections},
    {"tree", tools::Report::tree_json},
    {"canonical", tools::Report::canonical},
    {"inspection", tools::Report::inspection},
    {"observables", tools::Report::observables_json},
    {"observables-csv", tools::Report::observables_csv},
}};

std::optional<tools::Report> report_argument(const Signature& signature, PyObject* value) {
    const std::optional<std::string_view> name = text_argument(signature, "report", value);
    if (!name) {
        return std::nullopt;
    }
    for (const auto& [known, report] : report_names) {
        if (known == *name) {
            return report;
        }
    }
    PyErr_Format(PyExc_ValueError, "%s(): unknown report %R", signature.function, value);
    return std::nullopt;
}

std::optional<unsigned> jobs_argument(const Signature& signature, PyObject* value) {
    const long jobs = PyLong_AsLong(value);
    if (jobs == -1 && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (jobs < 1 || jobs > 1024) {
        PyErr_Format(PyExc_ValueError, "%s(): jobs must be between 1 and 1024", signature.function);
        return std::nullopt;
    }
    return static_cast<unsigned>(jobs);
}

// Options from the `strict` argument: None (or absent) for no strict checks, else the codes
// switched off.
std::optional<tools::CheckOptions> strict_options(const Signature& signature, PyObject* value) {
    tools::CheckOptions options;
    if (value == nullptr || value == Py_None) {
        return options;
    }
    options.strict = true;
    const PyRef codes = PyRef::steal(PySequence_Fast(value, "strict must be None or a sequence of codes"));
    if (!codes) {
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(codes.get()); ++i) {
        PyObject* const item = PySequence_Fast_GET_ITEM(codes.get(), i);
        const std::optional<std::string_view> code = text_argument(signature, "strict", item);
        if (!code) {
            return std::nullopt;
        }
        if (!tools::is_strict_code(*code)) {
            PyErr_Format(PyExc_ValueError, "%s(): unknown strict-check code %R", signature.function, item);
            return std::nullopt;
        }
        options.ignored.emplace_back(*code);
    }
    return options;
}

// The `out_fd` argument: absent or None, or the file descriptor to write the output to.
bool set_out_fd(tools::CheckOptions& options, PyObject* value) {
    if (value == nullptr || value == Py_None) {
        return true;
    }
    const int fd = PyObject_AsFileDescriptor(value);
    options.out_fd = fd;
    return fd >= 0;
}

std::optional<std::size_t> first_line_argument(PyObject* value) {
    if (value == nullptr) {
        return 1;
    }
    const Py_ssize_t line = PyLong_AsSsize_t(value);
    if (line == -1 && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (line < 1) {
        PyErr_SetString(PyExc_ValueError, "check_document(): first_line must be at least 1");
        return std::nullopt;
    }
    return static_cast<std::size_t>(line);
}

// (output as UTF-8 bytes, error output as str, accepted, rejected, skipped); OSError when
// writing the output failed (BrokenPipeError when the reader went away).
PyRef rendered_tuple(const tools::Rendered& rendered) {
    if (rendered.write_error != 0) {
        errno = rendered.write_error;
        return PyRef::steal(PyErr_SetFromErrno(PyExc_OSError));
    }
    return PyRef::steal(Py_BuildValue("(y#Nnnn)", rendered.out.data(), static_cast<Py_ssize_t>(rendered.out.size()),
                                      message_text(rendered.err).release(),
                                      static_cast<Py_ssize_t>(rendered.accepted),
                                      static_cast<Py_ssize_t>(rendered.rejected),
                                      static_cast<Py_ssize_t>(rendered.skipped)));
}

const Signature check_document_signature{
    "check_document", {"data", "name", "kind", "report", "jobs", "strict", "first_line", "out_fd"}, 5, 5};

PyRef check_document(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& signature = check_document_signature;
    std::array<PyObject*, 8> bound{};
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
        return {};
    }
    std::optional<tools::CheckOptions> options = strict_options(signature, bound[5]);
    const std::optional<std::size_t> first_line =
        options && set_out_fd(*options, bound[7]) ? first_line_argument(bound[6]) : std::nullopt;
    if (!first_line) {
        return {};
    }
    Py_buffer view;
    if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) {
        return {};
    }
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release_view(&view, &PyBuffer_Release);
    const std::optional<std::string_view> name = text_argument(signature, "name", bound[1]);
    const std::optional<std::string_view> kind = name ? text_argument(signature, "kind", bound[2]) : std::nullopt;
    const std::optional<tools::Report> report = kind ? report_argument(signature, bound[3]) : std::nullopt;
    const std::optional<unsigned> jobs = report ? jobs_argument(signature, bound[4]) : std::nullopt;
    if (!jobs) {
        return {};
    }
    if (*kind != "text" && *kind != "json") {
        PyErr_SetString(PyExc_ValueError, "check_document(): kind must be 'text' or 'json'");
        return {};
    }
    const std::string_view data(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    std::optional<tools::Rendered> rendered;
    {
        const InterpreterLockReleased released;
        rendered = *kind == "text" ? tools::check_text_document(data, *name, *report, *jobs, *options, *first_line)
                                   : tools::check_json_document(data, *name, *report, *jobs, *options);
    }
    return rendered ? rendered_tuple(*rendered) : none();
}

const Signature check_file_signature{"check_file", {"fd", "offset", "name", "report", "jobs", "strict", "out_fd"}, 5, 5};

PyRef check_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& signature = check_file_signature;
    std::array<PyObject*, 7> bound{};
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
        return {};
    }
    const int fd = PyObject_AsFileDescriptor(bound[0]);
    const Py_ssize_t offset = fd < 0 ? -1 : PyLong_AsSsize_t(bound[1]);
    if (offset < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "check_file(): offset must not be negative");
        }
        return {};
    }
    const std::optional<std::string_view> name = text_argument(signature, "name", bound[2]);
    const std::optional<tools::Report> report = name ? report_argument(signature, bound[3]) : std::nullopt;
    const std::optional<unsigned> jobs = report ? jobs_argument(signature, bound[4]) : std::nullopt;
    std::optional<tools::CheckOptions> options = jobs ? strict_options(signature, bound[5]) : std::nullopt;
    if (!options || !set_out_fd(*options, bound[6])) {
        return {};
    }
    std::optional<tools::Rendered> rendered;
    {
        const InterpreterLockReleased released;
        if (const auto file = tools::read_file(fd, static_cast<std::size_t>(offset), *jobs)) {
            const std::string_view data = file->view();
            rendered = tools::starts_json_document(data) ? tools::check_json_document(data, *name, *report, *jobs, *options)
                                                         : tools::check_text_document(data, *name, *report, *jobs, *options);
        }
    }
    return rendered ? rendered_tuple(*rendered) : none();
}

// The UTF-8 text of a str, borrowed from it; nothing with an exception set.
std::optional<std::string_view> utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "check_entries(): sources, texts, problems and pattern JSON are str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// One entry of check_entries: (source, text, problem, pattern_json); text is None exactly
// when problem is given. The entry borrows the texts of the strs, which `owners` keeps.
std::optional<tools::Entry> entry_from(PyObject* item, std::vector<PyRef>& owners) {
    PyObject* fields[4] = {};
    if (!PyArg_ParseTuple(item, "OOOO:check_entries", &fields[0], &fields[1], &fields[2], &fields[3])) {
        return std::nullopt;
    }
    const bool has_problem = fields[2] != Py_None;
    tools::Entry entry;
    std::optional<std::string_view> source = utf8_of(fields[0]);
    std::optional<std::string_view> text = !source ? std::nullopt : has_problem ? std::string_view() : utf8_of(fields[1]);
    std::optional<std::string_view> problem = !text ? std::nullopt : has_problem ? utf8_of(fields[2]) : std::string_view();
    std::optional<std::string_view> pattern_json = !problem ? std::nullopt : has_problem ? utf8_of(fields[3]) : std::string_view();
    if (!pattern_json) {
        return std::nullopt;
    }
    for (PyObject* field : fields) {
        owners.push_back(PyRef::new_reference(field));
    }
    entry.name = *source;
    entry.text = *text;
    if (has_problem) {
        entry.problem = *problem;
        entry.pattern_json = *pattern_json;
    }
    return entry;
}

const Signature check_entries_signature{"check_entries", {"entries", "report", "jobs", "strict", "out_fd"}, 3, 3};

PyRef check_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& signature = check_entries_signature;
    std::array<PyObject*, 5> bound{};
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
        return {};
    }
    const std::optional<tools::Report> report = report_argument(signature, bound[1]);
    const std::optional<unsigned> jobs = report ? jobs_argument(signature, bound[2]) : std::nullopt;
    std::optional<tools::CheckOptions> options = jobs ? strict_options(signature, bound[3]) : std::nullopt;
    if (!options || !set_out_fd(*options, bound[4])) {
        return {};
    }
    const PyRef items = PyRef::steal(PySequence_Fast(bound[0], "check_entries(): entries must be a sequence"));
    if (!items) {
        return {};
    }
    std::vector<tools::Entry> entries;
    std::vector<PyRef> owners;  // the strs whose texts the entries borrow, for the whole call
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::optional<tools::Entry> entry = entry_from(PySequence_Fast_GET_ITEM(items.get(), i), owners);
        if (!entry) {
            return {};
        }
        entries.push_back(std::move(*entry));
    }
    tools::Rendered rendered;
    {
        const InterpreterLockReleased released;
        rendered = tools::render_entries(entries, *report, *jobs, *options);
    }
    return rendered_tuple(rendered);
}

PyMethodDef tree_tool_functions[] = {
    {"tree_json", fast_call<&tree_json>(), METH_FASTCALL | METH_KEYWORDS,
     "tree_json(pattern)\n--\n\nThe syntax tree of the pattern as JSON text; each operator chain is one\n"
     "node with its operands and operators. ValueError when the pattern is rejected."},
    {"canonical_text", fast_call<&canonical_text>(), METH_FASTCALL | METH_KEYWORDS,
     "canonical_text(pattern)\n--\n\nThe pattern in one canonical spelling, parenthesised so that readers that\n"
     "fold from the left and readers that apply AND-before-OR-before-FOLLOWEDBY precedence agree.\n"
     "ValueError when the pattern is rejected or has no canonical text."},
    {"observables", fast_call<&observables>(), METH_FASTCALL | METH_KEYWORDS,
     "observables(pattern)\n--\n\nOne dict per comparison, in text order: observation, object_type, path,\n"
     "steps, operator, negated, constants and the qualifiers in force over it."},
    {"inspect_pattern", fast_call<&inspect_pattern>(), METH_FASTCALL | METH_KEYWORDS,
     "inspect_pattern(pattern)\n--\n\nWhat the pattern uses: object types, object paths, comparison and\n"
     "observation operators, qualifiers, and its numbers of observations and comparisons."},
    {"check_document", fast_call<&check_document>(), METH_FASTCALL | METH_KEYWORDS,
     "check_document(data, name, kind, report, jobs, *, strict=None, first_line=1, out_fd=None)\n--\n\n"
     "The checker's engine over one whole input (kind 'text' or 'json'), or over whole lines of\n"
     "text numbered from first_line; strict: None, or the strict-check codes switched off;\n"
     "out_fd: where to write the output at once (it is then not returned):\n"
     "(output bytes, error output, accepted, rejected, skipped), or None when the\n"
     "input needs the checker's own reader."},
    {"check_file", fast_call<&check_file>(), METH_FASTCALL | METH_KEYWORDS,
     "check_file(fd, offset, name, report, jobs, *, strict=None, out_fd=None)\n--\n\n"
     "check_document() over a regular file from `offset` to its end, read on `jobs` threads;\n"
     "text or JSON as its first bytes tell. None when the file cannot be read so or the\n"
     "input needs the checker's own reader."},
    {"check_entries", fast_call<&check_entries>(), METH_FASTCALL | METH_KEYWORDS,
     "check_entries(entries, report, jobs, *, strict=None, out_fd=None)\n--\n\nThe checker's engine over (source, text,\n"
     "problem, pattern_json) entries: (output bytes, error output, accepted, rejected, 0)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_tree_tools(PyObject* module, ModuleState& state) {
    for (std::size_t i = 0; i < record_key_names.size(); ++i) {
        const std::string_view name = record_key_names[i];
        PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (key == nullptr) {
            return false;
        }
        PyUnicode_InternInPlace(&key);
        state.toolkit.record_keys[i] = PyRef::steal(key);
    }
    return add_functions(module, tree_tool_functions);
}

}  // namespace quarnel::py
