#include "tools_module/py_observations.hpp"  // first: it brings in Python.h

#include <algorithm>
#include <cmath>
#include <string>

#include "tools_module/calls.hpp"
#include "tools_module/state.hpp"

namespace quarnel::py {

namespace {

using match::Builder;
using match::DataError;
using match::DataErrorKind;

// Parsed Python values into the builder's events; the first unfit value stops it.
class ValueReader {
public:
    ValueReader(Builder& builder, std::vector<std::pair<std::uint32_t, PyRef>>& originals)
        : builder_(builder), originals_(originals) {}

    // False with either error() (data) or a Python exception (anything else) set.
    bool value(PyObject* v, const std::string& name) {
        if (v == Py_None) {
            builder_.null();
        } else if (PyBool_Check(v)) {
            builder_.boolean(v == Py_True);
        } else if (PyLong_Check(v)) {
            return integer(v, name);
        } else if (PyFloat_Check(v)) {
            const double d = PyFloat_AS_DOUBLE(v);
            if (!std::isfinite(d)) return wrong_type(name, "a finite number");
            builder_.real(d);
        } else if (PyUnicode_Check(v)) {
            return string(v);
        } else if (PyDict_Check(v)) {
            return object(v);
        } else if (PyList_Check(v) || PyTuple_Check(v)) {
            return list(v);
        } else {
            return wrong_type(name, std::string("a JSON value, not ") + Py_TYPE(v)->tp_name);
        }
        return true;
    }

    const std::optional<DataError>& error() const { return error_; }

private:
    bool wrong_type(const std::string& name, const std::string& expected) {
        error_ = DataError{DataErrorKind::WrongType,
                           builder_.next_location() + ": property \"" + name + "\" must be " + expected};
        return false;
    }

    bool integer(PyObject* v, const std::string& name) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow == 0) {
            builder_.integer(value);
            return true;
        }
        // Like JSON text: past the signed range but within 64 bits, an integer is a float.
        const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(v);
        if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return wrong_type(name, "an integer of at most 64 bits");
        }
        builder_.real(static_cast<double>(unsigned_value));
        return true;
    }

    bool utf8(PyObject* text, std::string_view& out) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();
            error_ = DataError{DataErrorKind::InvalidJson,
                               builder_.next_location() + ": invalid JSON: a string holds a lone surrogate"};
            return false;
        }
        out = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }

    bool string(PyObject* v) {
        std::string_view text;
        if (!utf8(v, text)) return false;
        builder_.string(text);
        return true;
    }

    bool container_failed() {
        error_ = builder_.error();
        return false;
    }

    bool object(PyObject* v) {
        // A snapshot: another thread may change the dict meanwhile.
        const PyRef items = PyRef::steal(PyDict_Items(v));
        if (!items) return false;
        // Inputs, their array elements and bundles' objects: the dicts that may be records.
        const bool may_be_record = builder_.depth() <= 3;
        if (!builder_.begin_object()) return container_failed();
        if (may_be_record) originals_.emplace_back(builder_.last_node(), PyRef::new_reference(v));
        const Py_ssize_t count = PyList_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* const pair = PyList_GET_ITEM(items.get(), i);
            PyObject* const key = PyTuple_GET_ITEM(pair, 0);
            if (!PyUnicode_Check(key)) {
                const PyRef shown = PyRef::steal(PyObject_Repr(key));
                const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
                if (text == nullptr) return false;
                builder_.key(text);
                return wrong_type(text, "named by a str");
            }
            std::string_view name;
            if (!utf8(key, name)) return false;
            key_ = std::string(name);
            builder_.key(key_);
            if (!value(PyTuple_GET_ITEM(pair, 1), std::string(name))) return false;
        }
        return builder_.end_container() || container_failed();
    }

    bool list(PyObject* v) {
        const PyRef items = PyRef::steal(PyList_Check(v) ? PyList_AsTuple(v) : PyRef::new_reference(v).release());
        if (!items) return false;
        if (!builder_.begin_list()) return container_failed();
        const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!value(PyTuple_GET_ITEM(items.get(), i), std::to_string(i))) return false;
        }
        return builder_.end_container() || container_failed();
    }

    Builder& builder_;
    std::vector<std::pair<std::uint32_t, PyRef>>& originals_;
    std::optional<DataError> error_;
    std::string key_;
};

void raise_data_error(const MatchState& state, const DataError& error) {
    raise_with_kind(state.data_error.get(), match::kind_name(error.kind), error.message);
}

PyRef node_object(const match::Store& store, std::uint32_t at);

PyRef container_object(const match::Store& store, const match::Node& node) {
    if (node.kind == match::Kind::List) {
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node.count)));
        if (!list) return {};
        for (std::uint32_t i = 0; i < node.count; ++i) {
            PyRef item = node_object(store, store.children[node.first + i]);
            if (!item) return {};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (const std::uint32_t* c = store.child_begin(node); c != store.child_end(node); ++c) {
        const PyRef key = text(store.name(store.node(*c)));
        const PyRef value = node_object(store, *c);
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    }
    return dict;
}

// Depth is bounded by the load's nesting limit.
PyRef node_object(const match::Store& store, std::uint32_t at) {
    const match::Node& node = store.node(at);
    switch (node.kind) {
        case match::Kind::String:
        case match::Kind::Binary: return text(store.text(node));
        case match::Kind::Integer: return PyRef::steal(PyLong_FromLongLong(node.integer()));
        case match::Kind::Float: return PyRef::steal(PyFloat_FromDouble(node.real()));
        case match::Kind::Boolean: return boolean(node.boolean);
        case match::Kind::Null: return none();
        default: return container_object(store, node);
    }
}

std::optional<LoadedObservations> finish(const MatchState& state, match::Loader&& loader, bool release,
                                         LoadedObservations loaded) {
    std::optional<match::Expected<match::ObservationSet, DataError>> set;
    if (release) {
        const InterpreterLockReleased released;
        set.emplace(std::move(loader).finish());
    } else {
        set.emplace(std::move(loader).finish());
    }
    if (!*set) {
        raise_data_error(state, set->error());
        return std::nullopt;
    }
    loaded.set = std::make_shared<const match::ObservationSet>(std::move(*set).value());
    return loaded;
}

}  // namespace

void raise_with_kind(PyObject* type, std::string_view kind, std::string_view message) {
    const PyRef text_message = message_text(message);
    const PyRef text_kind = text(kind);
    if (!text_message || !text_kind) return;
    const PyRef error = PyRef::steal(PyObject_CallOneArg(type, text_message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "kind", text_kind.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "message", text_message.get()) < 0) {
        return;
    }
    PyErr_SetObject(type, error.get());
}

namespace {

// The JSON text of a str or bytes; nothing with DataError set for a lone surrogate.
std::optional<std::string_view> json_text(const MatchState& state, PyObject* value, std::size_t input) {
    if (PyBytes_Check(value)) {
        return std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            raise_data_error(state, DataError{DataErrorKind::InvalidJson,
                                              "input " + std::to_string(input) +
                                                  ": invalid JSON: the text holds a lone surrogate"});
        }
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// Reads the texts, all borrowed from objects the caller holds for the whole call.
std::optional<LoadedObservations> load_texts(const MatchState& state, const std::vector<PyObject*>& texts) {
    match::Loader loader;
    std::vector<std::string_view> views;
    std::size_t total = 0;
    for (PyObject* text : texts) {
        const auto view = json_text(state, text, views.size());
        if (!view) return std::nullopt;
        views.push_back(*view);
        total += view->size();
    }
    const auto read_all = [&] {
        for (const std::string_view view : views) loader.add_json(view);
    };
    if (total >= 2048) {
        const InterpreterLockReleased released;
        read_all();
    } else {
        read_all();
    }
    return finish(state, std::move(loader), total >= 2048, LoadedObservations{});
}

}  // namespace

std::optional<LoadedObservations> load_json_texts(const MatchState& state, PyObject* texts, const char* function) {
    const PyRef items = PyRef::steal(PySequence_Tuple(texts));
    if (!items) return std::nullopt;
    std::vector<PyObject*> views;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* const item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item) && !PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s() expects JSON texts (str or bytes), not %.200s", function,
                         Py_TYPE(item)->tp_name);
            return std::nullopt;
        }
        views.push_back(item);
    }
    return load_texts(state, views);
}

std::optional<LoadedObservations> load_observations(const MatchState& state, PyObject* observations,
                                                    const char* function) {
    match::Loader loader;
    LoadedObservations loaded;
    if (PyUnicode_Check(observations) || PyBytes_Check(observations)) {
        return load_texts(state, {observations});
    }
    if (!PyList_Check(observations)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'observations' must be str, bytes or list, not %.200s",
                     function, Py_TYPE(observations)->tp_name);
        return std::nullopt;
    }
    const PyRef inputs = PyRef::steal(PyList_AsTuple(observations));
    if (!inputs) return std::nullopt;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inputs.get()); ++i) {
        Builder builder = loader.begin_value();
        ValueReader reader(builder, *loaded.originals);
        const bool ok = reader.value(PyTuple_GET_ITEM(inputs.get(), i), std::to_string(i));
        if (!ok && !reader.error()) return std::nullopt;  // a Python exception stands
        if (!ok) {
            raise_data_error(state, *reader.error());
            return std::nullopt;
        }
        loader.end_value(builder, true);
    }
    std::sort(loaded.originals->begin(), loaded.originals->end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return finish(state, std::move(loader), PyTuple_GET_SIZE(inputs.get()) >= 256, std::move(loaded));
}

PyRef record_object(const LoadedObservations& loaded, std::uint32_t record) {
    const std::uint32_t node = loaded.set->records()[record].node;
    if (loaded.originals) {
        const Originals& originals = *loaded.originals;
        const auto at = std::lower_bound(originals.begin(), originals.end(), node,
                                         [](const auto& entry, std::uint32_t n) { return entry.first < n; });
        if (at != originals.end() && at->first == node) return PyRef::new_reference(at->second.get());
    }
    return node_object(loaded.set->store(), node);
}

}  // namespace quarnel::py
