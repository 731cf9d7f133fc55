// The STIX 2.1 cyber-observable data model as the strict checks read it: which object
// types, extensions and embedded types exist, and the kind of each of their properties.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quarnel::tools {

// The kind of a property's value.
enum class Kind : std::uint8_t {
    String,
    Integer,
    Float,
    Boolean,
    Timestamp,
    Hex,
    Binary,
    Hashes,      // a dictionary keyed by hash algorithm name
    Dictionary,  // free keys
    Extensions,  // keyed by extension name
    Enum,
    OpenVocab,
    Id,
    Type,
    Reference,  // an object's id; a path may follow it into the object
    List,
    Object,  // an embedded type
};

std::string_view kind_name(Kind kind);
// The name with its indefinite article: "an integer", "a string".
std::string kind_with_article(Kind kind);

struct Property {
    std::string_view name;
    Kind kind;
    // Object: the embedded type's name; Reference: the object types it may point at,
    // comma-separated, empty when any.
    std::string_view target;
    // List only: the kind of its elements and their target.
    Kind element_kind = Kind::String;
    std::string_view element_target = {};
};

// An object type, extension or embedded type with its properties, sorted by name.
struct Owner {
    std::string_view name;
    std::span<const Property> properties;

    const Property* find(std::string_view property) const;
};

const Owner* find_object_type(std::string_view name);
const Owner* find_extension(std::string_view name);
const Owner* find_embedded_type(std::string_view name);

// The hash algorithm names of the STIX 2.1 vocabulary, as spelt there ("SHA-256").
std::span<const std::string_view> hash_algorithm_names();

// Custom object types, properties, extensions and hash names begin with "x-" or "x_".
bool is_custom_name(std::string_view name);

}  // namespace quarnel::tools
