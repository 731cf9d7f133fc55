#include "tools/observable_model.hpp"

#include <algorithm>
#include <array>

#include "tools/stix21_observables.hpp"

namespace quarnel::tools {

namespace {

template <typename Row>
const Row* find_by_name(std::span<const Row> rows, std::string_view name) {
    const auto found = std::lower_bound(rows.begin(), rows.end(), name,
                                        [](const Row& row, std::string_view key) { return row.name < key; });
    return found != rows.end() && found->name == name ? &*found : nullptr;
}

}  // namespace

std::string_view kind_name(Kind kind) {
    static constexpr std::array<std::string_view, 17> names{
        "string",  "integer",    "float",      "boolean", "timestamp", "hex",
        "binary",  "hashes",     "dictionary", "extensions", "enum",   "open vocabulary",
        "id",      "type",       "reference",  "list",    "object",
    };
    return names[static_cast<std::size_t>(kind)];
}

std::string kind_with_article(Kind kind) {
    const std::string name(kind_name(kind));
    const bool vowel = std::string_view("aeiou").find(name.front()) != std::string_view::npos;
    return (vowel ? "an " : "a ") + name;
}

const Property* Owner::find(std::string_view property) const {
    return find_by_name(properties, property);
}

const Owner* find_object_type(std::string_view name) {
    return find_by_name(std::span<const Owner>(stix21::objects), name);
}

const Owner* find_extension(std::string_view name) {
    return find_by_name(std::span<const Owner>(stix21::extensions), name);
}

const Owner* find_embedded_type(std::string_view name) {
    return find_by_name(std::span<const Owner>(stix21::types), name);
}

std::span<const std::string_view> hash_algorithm_names() {
    return stix21::hash_algorithms;
}

bool is_custom_name(std::string_view name) {
    return name.starts_with("x-") || name.starts_with("x_");
}

}  // namespace quarnel::tools
