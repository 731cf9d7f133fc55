// JSON text into the node store, two ways that give the same values:
// - the strict reader, in one pass straight into the store (simdjson checks the UTF-8 of
//   the whole text first); it finds the exact byte of any fault. Best for a text read once:
//   it touches the least fresh memory, and fresh memory is what costs most.
// - JsonReader, simdjson's document parser walked into the store; faster once its buffers
//   are warm, so for callers that read many texts with one reader. Where simdjson refuses
//   a text, the strict reader finds the fault or reads what simdjson cannot hold
//   (integers beyond 64 bits, which are floats here).
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
