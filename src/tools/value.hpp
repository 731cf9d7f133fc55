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
struct Member;
using Array = std::vector<Value>;
// A named struct, not a std::pair: clang with libstdc++ takes a pair of a type still being
// defined for incomplete for good, and then rejects reading an object's members.
using Object = std::vector<Member>;

struct Value {
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> data;
};

// One key of an object and its value.
struct Member {
    Member(std::string key, Value value) : key(std::move(key)), value(std::move(value)) {}

    std::string key;
    Value value;
};

// Compact JSON with ", " and ": " separators; non-finite floats as "inf", "-inf", "nan".
void append_json(std::string& out, const Value& value);

}  // namespace quarnel::tools
