// Plain data records (null, booleans, numbers, text, arrays, objects with ordered keys):
// what observables and inspection produce, written as JSON here or turned into Python
// objects by the module.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quarnel::tools {

struct Value;
using Array = std::vector<Value>;
using Object = std::vector<std::pair<std::string, Value>>;

struct Value {
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> data;
};

// Compact JSON with ", " and ": " separators; non-finite floats as "inf", "-inf", "nan".
void append_json(std::string& out, const Value& value);

}  // namespace quarnel::tools
