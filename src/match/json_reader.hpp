// JSON text into the node store: simdjson reads the text; when it refuses, a strict reader
// of our own either finds the exact byte of the fault or reads what simdjson cannot hold
// (integers beyond 64 bits, which are floats here).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "match/document.hpp"
#include "match/errors.hpp"

namespace quarnel::match {

class JsonReader {
public:
    JsonReader();
    ~JsonReader();
    JsonReader(const JsonReader&) = delete;
    JsonReader& operator=(const JsonReader&) = delete;

    // Adds the text's value to the store as input `input`; the error when it cannot.
    std::optional<DataError> read(Store& store, std::string_view text, std::uint32_t input,
                                  std::uint32_t max_depth);

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

// The strict reader alone (also what the fast path falls back to).
std::optional<DataError> read_json_strict(Store& store, std::string_view text,
                                          std::uint32_t input, std::uint32_t max_depth);

}  // namespace quarnel::match
