// Observed data between Python and the matcher: JSON text or parsed Python values into a
// loaded observation set, and records back into Python objects.
#pragma once

#include "ast/py_ref.hpp"  // first: it brings in Python.h

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "match/observations.hpp"

namespace quarnel::py {

struct MatchState;

// For parsed Python values: the object node of each dict that may be a record, with the
// dict itself, by ascending node; empty for JSON text.
using Originals = std::vector<std::pair<std::uint32_t, PyRef>>;

// Cheap to copy; copies share the set and the originals. Release only with the lock held.
struct LoadedObservations {
    std::shared_ptr<const match::ObservationSet> set;
    std::shared_ptr<Originals> originals = std::make_shared<Originals>();
};

// Loads `observations`: a str or bytes holding JSON text (input 0), or a list of parsed
// JSON values (element n is input n). Nothing, with DataError or TypeError set, on failure.
std::optional<LoadedObservations> load_observations(const MatchState& state, PyObject* observations,
                                                    const char* function);

// Loads JSON texts (each a str or bytes), text n being input n.
std::optional<LoadedObservations> load_json_texts(const MatchState& state, PyObject* texts, const char* function);

// The Python object of one record: the dict that was passed in, or a new one built from
// the JSON text.
PyRef record_object(const LoadedObservations& loaded, std::uint32_t record);

// Sets the exception `type` (a subclass of ValueError) with `kind` and `message` attributes.
void raise_with_kind(PyObject* type, std::string_view kind, std::string_view message);

}  // namespace quarnel::py
