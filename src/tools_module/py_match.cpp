// The matcher's Python surface: match(), compile_pattern(), load_observations(), the
// classes CompiledPattern, Observations, MatchResult and PatternIndex, and the exceptions
// PatternError, DataError and MatchError. Every object is immutable once made, so any
// thread may use it; long C++ work runs with the interpreter lock released.
#include "tools_module/py_observations.hpp"  // first: it brings in Python.h

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "match/index.hpp"
#include "match/matcher.hpp"
#include "tools_module/calls.hpp"
#include "tools_module/state.hpp"

namespace quarnel::py {

namespace {

// ---- Instances: a Python header and a C++ payload

template <typename Payload>
struct Instance {
    PyObject_HEAD
    Payload payload;
};

template <typename Payload>
Payload& payload_of(PyObject* self) {
    return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

template <typename Payload>
PyRef new_instance(PyObject* type, Payload payload) {
    PyTypeObject* const cls = reinterpret_cast<PyTypeObject*>(type);
    PyRef self = PyRef::steal(cls->tp_alloc(cls, 0));
    if (!self) return {};
    std::construct_at(&payload_of<Payload>(self.get()), std::move(payload));
    return self;
}

template <typename Payload>
void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    std::destroy_at(&payload_of<Payload>(self));
    free_instance(self);
}

template <typename Payload>
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    int status = 0;
    payload_of<Payload>(self).for_each_object([&](PyObject* object) {
        if (status == 0 && object != nullptr) status = visit(object, arg);
    });
    return status;
}

template <typename Payload>
int clear(PyObject* self) noexcept {
    payload_of<Payload>(self).clear();
    return 0;
}

struct CompiledPayload {
    std::shared_ptr<const match::CompiledPattern> pattern;
    PyRef text;

    template <typename Visit>
    void for_each_object(Visit&&) {}
    void clear() {}
};

struct ObservationsPayload {
    LoadedObservations loaded;

    template <typename Visit>
    void for_each_object(Visit&& visit) {
        if (loaded.originals) {
            for (auto& [node, object] : *loaded.originals) visit(object.get());
        }
    }
    void clear() { loaded.originals.reset(); }
};

struct ResultPayload {
    bool matched = false;
    std::uint64_t steps = 0;
    PyRef observed_data, indices, ids, binding, warnings;

    template <typename Visit>
    void for_each_object(Visit&& visit) {
        visit(observed_data.get());
    }
    void clear() { PyRef().swap(observed_data); }
};

struct IndexPayload {
    std::shared_ptr<const match::PatternIndex> index;
    std::size_t size = 0;

    template <typename Visit>
    void for_each_object(Visit&&) {}
    void clear() {}
};

const MatchState* matching_state(PyTypeObject* defining_class) {
    ModuleState* const state = state_of_class(defining_class);
    return state == nullptr ? nullptr : &state->matching;
}

// ---- Steps shared by the entry points

// Parses and compiles pattern text; nothing with ValueError (parse) or PatternError set.
std::shared_ptr<const match::CompiledPattern> compile_text(const MatchState& state, std::string_view text) {
    const std::shared_ptr<const ast::PatternExpr> tree = parse_or_raise(text);
    if (!tree) {
        return nullptr;
    }
    auto compiled = run_released_for(text, [&] { return match::compile(*tree); });
    if (!compiled) {
        raise_with_kind(state.pattern_error.get(), match::kind_name(compiled.error().kind), compiled.error().message);
        return nullptr;
    }
    return std::make_shared<const match::CompiledPattern>(std::move(compiled).value());
}

// A CompiledPattern argument, or pattern text to compile.
std::shared_ptr<const match::CompiledPattern> pattern_argument(const MatchState& state, const Signature& signature,
                                                               PyObject* value) {
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(state.compiled_class.get()))) {
        return payload_of<CompiledPayload>(value).pattern;
    }
    const auto text = text_argument(signature, "pattern", value);
    return text ? compile_text(state, *text) : nullptr;
}

// An Observations argument, or data to load.
std::optional<LoadedObservations> observations_argument(const MatchState& state, const Signature& signature,
                                                        PyObject* value) {
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(state.observations_class.get()))) {
        return payload_of<ObservationsPayload>(value).loaded;
    }
    return load_observations(state, value, signature.function);
}

std::optional<bool> flag_argument(PyObject* value) {
    if (value == nullptr) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

// Runs the match, releasing the interpreter lock for sets worth it.
std::optional<match::MatchResult> run_match(const MatchState& state, const match::CompiledPattern& pattern,
                                            const match::ObservationSet& set, bool lenient) {
    match::MatchOptions options;
    options.value_errors = lenient ? match::ValueErrors::Lenient : match::ValueErrors::Strict;
    std::optional<match::Expected<match::MatchResult, match::MatchError>> result;
    if (set.records().size() >= 256) {
        const InterpreterLockReleased released;
        result.emplace(match::match(pattern, set, options));
    } else {
        result.emplace(match::match(pattern, set, options));
    }
    if (!*result) {
        raise_with_kind(state.match_error.get(), match::kind_name(result->error().kind), result->error().message);
        return std::nullopt;
    }
    return std::move(*result).value();
}

PyRef records_list(const LoadedObservations& loaded, const std::vector<std::uint32_t>& records) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyRef object = record_object(loaded, records[i]);
        if (!object) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object.release());
    }
    return list;
}

template <typename Item, typename Make>
PyRef list_of(const std::vector<Item>& items, Make make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyRef item = make(items[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

PyRef result_object(const MatchState& state, const LoadedObservations& loaded, const match::MatchResult& result) {
    ResultPayload payload;
    payload.matched = result.matched;
    payload.steps = result.steps;
    payload.observed_data = records_list(loaded, result.observed_data);
    payload.indices = list_of(result.observed_data, [](std::uint32_t r) { return PyRef::steal(PyLong_FromUnsignedLong(r)); });
    payload.ids = list_of(result.observed_data_ids, [](const std::string& id) { return text(id); });
    payload.binding = list_of(result.binding, [](const match::BindingEntry& e) {
        return PyRef::steal(Py_BuildValue("(kkK)", static_cast<unsigned long>(e.leaf),
                                          static_cast<unsigned long>(e.record), static_cast<unsigned long long>(e.count)));
    });
    payload.warnings = list_of(result.warnings, [](const match::Warning& w) {
        const PyRef kind = text(match::kind_name(w.kind));
        const PyRef message = message_text(w.message);
        return kind && message ? PyRef::steal(PyTuple_Pack(2, kind.get(), message.get())) : PyRef();
    });
    if (!payload.observed_data || !payload.indices || !payload.ids || !payload.binding || !payload.warnings) return {};
    return new_instance(state.result_class.get(), std::move(payload));
}

// ---- match(pattern, observations, *, lenient=False)

const Signature match_signature{"match", {"pattern", "observations", "lenient"}, 2, 2};

PyRef match_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> bound{};
    if (!bind_arguments(match_signature, args, nargs, kwnames, bound)) return {};
    const MatchState& state = state_of_module(module).matching;
    const auto lenient = flag_argument(bound[2]);
    if (!lenient) return {};
    // The pattern first: a pattern error wins over a data error.
    const auto pattern = pattern_argument(state, match_signature, bound[0]);
    if (!pattern) return {};
    const auto loaded = observations_argument(state, match_signature, bound[1]);
    if (!loaded) return {};
    const auto result = run_match(state, *pattern, *loaded->set, *lenient);
    if (!result) return {};
    return records_list(*loaded, result->observed_data);
}

const Signature compile_signature{"compile_pattern", {"pattern"}, 1, 1};

PyRef compile_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments(compile_signature, args, nargs, kwnames, bound)) return {};
    const MatchState& state = state_of_module(module).matching;
    const auto text_value = text_argument(compile_signature, "pattern", bound[0]);
    if (!text_value) return {};
    auto pattern = compile_text(state, *text_value);
    if (!pattern) return {};
    return new_instance(state.compiled_class.get(), CompiledPayload{std::move(pattern), PyRef::new_reference(bound[0])});
}

const Signature load_signature{"load_observations", {"observations"}, 1, 1};

PyRef load_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments(load_signature, args, nargs, kwnames, bound)) return {};
    const MatchState& state = state_of_module(module).matching;
    auto loaded = load_observations(state, bound[0], load_signature.function);
    if (!loaded) return {};
    return new_instance(state.observations_class.get(), ObservationsPayload{std::move(*loaded)});
}

const Signature load_json_signature{"load_json", {"texts"}, 1, 1};

PyRef load_json_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!bind_arguments(load_json_signature, args, nargs, kwnames, bound)) return {};
    const MatchState& state = state_of_module(module).matching;
    auto loaded = load_json_texts(state, bound[0], load_json_signature.function);
    if (!loaded) return {};
    return new_instance(state.observations_class.get(), ObservationsPayload{std::move(*loaded)});
}

PyMethodDef matching_functions[] = {
    {"match", fast_call<&match_function>(), METH_FASTCALL | METH_KEYWORDS,
     "match(pattern, observations, *, lenient=False)\n--\n\n"
     "The observed-data objects bound by the pattern's first binding, in input order, or an\n"
     "empty list when the pattern does not match. `observations` is JSON text (str or bytes)\n"
     "or a list of parsed JSON values; for a list the objects passed in come back."},
    {"compile_pattern", fast_call<&compile_function>(), METH_FASTCALL | METH_KEYWORDS,
     "compile_pattern(pattern)\n--\n\nA CompiledPattern, to match against many data sets."},
    {"load_observations", fast_call<&load_function>(), METH_FASTCALL | METH_KEYWORDS,
     "load_observations(observations)\n--\n\nLoaded Observations, to match many patterns against."},
    {"load_json", fast_call<&load_json_function>(), METH_FASTCALL | METH_KEYWORDS,
     "load_json(texts)\n--\n\nObservations from several JSON texts (str or bytes), text n being input n."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- CompiledPattern

const Signature compiled_match_signature{"match", {"observations", "lenient"}, 1, 1};

PyObject* compiled_match(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guarded([&]() -> PyRef {
        std::array<PyObject*, 2> bound{};
        if (!bind_arguments(compiled_match_signature, args, nargs, kwnames, bound)) return {};
        const MatchState* state = matching_state(defining_class);
        if (state == nullptr) return {};
        const auto lenient = flag_argument(bound[1]);
        if (!lenient) return {};
        const auto loaded = observations_argument(*state, compiled_match_signature, bound[0]);
        if (!loaded) return {};
        const auto result = run_match(*state, *payload_of<CompiledPayload>(self).pattern, *loaded->set, *lenient);
        if (!result) return {};
        return result_object(*state, *loaded, *result);
    });
}

PyObject* compiled_pattern_text(PyObject* self, void*) noexcept {
    return PyRef::new_reference(payload_of<CompiledPayload>(self).text.get()).release();
}

PyObject* compiled_warnings(PyObject* self, void*) noexcept {
    return guarded([&] {
        return list_of(payload_of<CompiledPayload>(self).pattern->warnings,
                       [](const std::string& w) { return text(w); });
    });
}

PyObject* compiled_observations(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(payload_of<CompiledPayload>(self).pattern->leaves.size());
}

PyObject* compiled_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<CompiledPattern %R>", payload_of<CompiledPayload>(self).text.get());
}

PyMethodDef compiled_methods[] = {
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compiled_match)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "match(observations, *, lenient=False)\n--\n\nA MatchResult for Observations or data to load."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef compiled_getset[] = {
    {"pattern", &compiled_pattern_text, nullptr, "the pattern text", nullptr},
    {"warnings", &compiled_warnings, nullptr, "compile warnings (parts that can never match)", nullptr},
    {"observations", &compiled_observations, nullptr, "the number of bracketed observations", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Observations

Py_ssize_t observations_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(payload_of<ObservationsPayload>(self).loaded.set->records().size());
}

PyObject* observations_unresolved(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(payload_of<ObservationsPayload>(self).loaded.set->unresolved_refs());
}

PyObject* observations_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<Observations of %zd records>", observations_length(self));
}

PyGetSetDef observations_getset[] = {
    {"unresolved_refs", &observations_unresolved, nullptr, "object_refs entries found nowhere in the data",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- MatchResult

template <PyRef ResultPayload::*Member>
PyObject* result_list(PyObject* self, void*) noexcept {
    // A fresh list each time: the result itself stays immutable.
    return PySequence_List((payload_of<ResultPayload>(self).*Member).get());
}

PyObject* result_matched(PyObject* self, void*) noexcept { return boolean(payload_of<ResultPayload>(self).matched).release(); }

PyObject* result_steps(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(payload_of<ResultPayload>(self).steps);
}

int result_bool(PyObject* self) noexcept { return payload_of<ResultPayload>(self).matched ? 1 : 0; }

PyObject* result_repr(PyObject* self) noexcept {
    const ResultPayload& p = payload_of<ResultPayload>(self);
    return PyUnicode_FromFormat("MatchResult(matched=%s, observed_data_indices=%R)", p.matched ? "True" : "False",
                                p.indices.get());
}

PyGetSetDef result_getset[] = {
    {"matched", &result_matched, nullptr, "whether the pattern matched", nullptr},
    {"observed_data", &result_list<&ResultPayload::observed_data>, nullptr,
     "the observed-data objects of the first binding, in input order", nullptr},
    {"observed_data_indices", &result_list<&ResultPayload::indices>, nullptr,
     "their positions among the loaded records", nullptr},
    {"observed_data_ids", &result_list<&ResultPayload::ids>, nullptr, "their ids ('' when absent)", nullptr},
    {"binding", &result_list<&ResultPayload::binding>, nullptr,
     "the first binding: (observation, record, count) in decision order", nullptr},
    {"warnings", &result_list<&ResultPayload::warnings>, nullptr,
     "lenient mode: (kind, message) of each value dropped", nullptr},
    {"steps", &result_steps, nullptr, "search steps spent", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- PatternIndex

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyRef {
        static const char* keywords[] = {"patterns", nullptr};
        PyObject* patterns = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PatternIndex", const_cast<char**>(keywords), &patterns)) {
            return {};
        }
        const MatchState* state = matching_state(type);
        if (state == nullptr) return {};
        const PyRef items = PyRef::steal(PySequence_Tuple(patterns));
        if (!items) return {};
        static const Signature signature{"PatternIndex", {"pattern"}, 1, 1};
        auto index = std::make_shared<match::PatternIndex>();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            auto pattern = pattern_argument(*state, signature, PyTuple_GET_ITEM(items.get(), i));
            if (!pattern) return {};
            index->add(std::move(pattern));
        }
        const std::size_t size = index->size();
        return new_instance(reinterpret_cast<PyObject*>(type), IndexPayload{std::move(index), size});
    });
}

const Signature index_match_signature{"match", {"observations"}, 1, 1};

PyObject* index_match(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded([&]() -> PyRef {
        std::array<PyObject*, 1> bound{};
        if (!bind_arguments(index_match_signature, args, nargs, kwnames, bound)) return {};
        const MatchState* state = matching_state(defining_class);
        if (state == nullptr) return {};
        const auto loaded = observations_argument(*state, index_match_signature, bound[0]);
        if (!loaded) return {};
        const match::PatternIndex& index = *payload_of<IndexPayload>(self).index;
        std::optional<match::PatternIndex::Outcome> outcome;
        {
            const InterpreterLockReleased released;
            outcome.emplace(index.match(*loaded->set));
        }
        const PyRef hits = list_of(outcome->hits, [&](const match::PatternIndex::Hit& hit) {
            const PyRef result = result_object(*state, *loaded, hit.result);
            return result ? PyRef::steal(Py_BuildValue("(kO)", static_cast<unsigned long>(hit.pattern), result.get()))
                          : PyRef();
        });
        const PyRef failures = list_of(outcome->failures, [&](const auto& failure) {
            const PyRef kind = text(match::kind_name(failure.second.kind));
            const PyRef message = message_text(failure.second.message);
            return kind && message ? PyRef::steal(Py_BuildValue("(kOO)", static_cast<unsigned long>(failure.first),
                                                                kind.get(), message.get()))
                                   : PyRef();
        });
        if (!hits || !failures) return {};
        return PyRef::steal(PyTuple_Pack(2, hits.get(), failures.get()));
    });
}

Py_ssize_t index_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(payload_of<IndexPayload>(self).size);
}

PyMethodDef index_methods[] = {
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_match)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "match(observations)\n--\n\n"
     "(hits, failures): hits lists (pattern number, MatchResult) for every pattern that matches,\n"
     "in lenient mode; failures lists (pattern number, kind, message) for searches over budget."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Classes and exceptions

template <typename Payload>
PyRef make_class(PyObject* module, const char* name, const char* doc, std::vector<PyType_Slot> slots,
                 unsigned int extra_flags = 0) {
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Payload>)});
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse<Payload>)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear<Payload>)});
    slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
    slots.push_back({0, nullptr});
    const unsigned int flags = extra_flags != 0 ? extra_flags : final_class_flags;
    PyType_Spec spec{name, static_cast<int>(sizeof(Instance<Payload>)), 0,
                     static_cast<unsigned int>(flags | Py_TPFLAGS_HAVE_GC), slots.data()};
    return PyRef::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

PyRef make_exception(const char* name, const char* doc) {
    return PyRef::steal(PyErr_NewExceptionWithDoc(name, doc, PyExc_ValueError, nullptr));
}

}  // namespace

bool add_matching(PyObject* module, ModuleState& module_state) {
    MatchState& state = module_state.matching;
    state.pattern_error = make_exception("quarnel_tools.PatternError",
                                         "A pattern that parses but cannot be matched; `kind` and `message` say why.");
    state.data_error = make_exception("quarnel_tools.DataError",
                                      "Observed data that cannot be loaded; `kind` and `message` say why.");
    state.match_error = make_exception("quarnel_tools.MatchError",
                                       "A match that could not finish: a value error in strict mode, a regular-"
                                       "expression limit or the search budget; `kind` and `message` say which.");
    state.compiled_class = make_class<CompiledPayload>(
        module, "quarnel_tools.CompiledPattern", "A pattern compiled for matching (compile_pattern()).",
        {{Py_tp_methods, compiled_methods}, {Py_tp_getset, compiled_getset},
         {Py_tp_repr, reinterpret_cast<void*>(&compiled_repr)}});
    state.observations_class = make_class<ObservationsPayload>(
        module, "quarnel_tools.Observations", "Observed data loaded for matching (load_observations()).",
        {{Py_tp_getset, observations_getset}, {Py_sq_length, reinterpret_cast<void*>(&observations_length)},
         {Py_tp_repr, reinterpret_cast<void*>(&observations_repr)}});
    state.result_class = make_class<ResultPayload>(
        module, "quarnel_tools.MatchResult", "The outcome of matching one pattern: true when it matched.",
        {{Py_tp_getset, result_getset}, {Py_nb_bool, reinterpret_cast<void*>(&result_bool)},
         {Py_tp_repr, reinterpret_cast<void*>(&result_repr)}});
    state.index_class = make_class<IndexPayload>(
        module, "quarnel_tools.PatternIndex",
        "PatternIndex(patterns)\n--\n\nMany patterns (texts or CompiledPattern objects), matched together.",
        {{Py_tp_new, reinterpret_cast<void*>(&index_new)}, {Py_tp_methods, index_methods},
         {Py_sq_length, reinterpret_cast<void*>(&index_length)}},
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
    return add_functions(module, matching_functions) &&
           add_public_object(module, "PatternError", state.pattern_error.get()) &&
           add_public_object(module, "DataError", state.data_error.get()) &&
           add_public_object(module, "MatchError", state.match_error.get()) &&
           add_public_object(module, "CompiledPattern", state.compiled_class.get()) &&
           add_public_object(module, "Observations", state.observations_class.get()) &&
           add_public_object(module, "MatchResult", state.result_class.get()) &&
           add_public_object(module, "PatternIndex", state.index_class.get());
}

}  // namespace quarnel::py
