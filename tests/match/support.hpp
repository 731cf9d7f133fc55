// Helpers for the matcher tests: records in shorthand, and one call from pattern text and
// JSON text to a comparable outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "match/matcher.hpp"
#include "parser/builder.hpp"

namespace quarnel::match::testing {

// "2020-01-01T00:00:00Z" plus the given seconds (0 to 86399).
inline std::string at(int seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "2020-01-01T%02d:%02d:%02dZ", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

// An observed-data object in the embedded form, `objects` being the JSON of its dictionary.
inline std::string record(const std::string& objects, int first, int last, int count = 1,
                          const std::string& id = "") {
    std::string out = "{\"type\":\"observed-data\",";
    if (!id.empty()) out += "\"id\":\"" + id + "\",";
    out += "\"first_observed\":\"" + at(first) + "\",\"last_observed\":\"" + at(last) +
           "\",\"number_observed\":" + std::to_string(count) + ",\"objects\":" + objects + "}";
    return out;
}

inline std::string record(const std::string& objects, int time) { return record(objects, time, time); }

// One object under key "0".
inline std::string one(const std::string& object) { return "{\"0\":" + object + "}"; }

inline std::string array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += items[i];
    }
    return out + "]";
}

// The outcome of one call, flattened for comparison: "match 0,2", "no match",
// "compile error X", "load error X" or "error X".
struct Outcome {
    std::string verdict;
    std::vector<BindingEntry> binding;
    std::vector<Warning> warnings;
    std::string message;
    std::uint64_t steps = 0;
};

inline Outcome run(const std::string& pattern, const std::string& data, MatchOptions options = {}) {
    Outcome out;
    auto tree = parser::parse_pattern(pattern);
    if (!tree) {
        out.verdict = "parse error";
        out.message = tree.error().message();
        return out;
    }
    auto compiled = compile(tree.value());
    if (!compiled) {
        out.verdict = "compile error " + std::string(kind_name(compiled.error().kind));
        out.message = compiled.error().message;
        return out;
    }
    const std::string_view texts[] = {data};
    auto set = load(texts);
    if (!set) {
        out.verdict = "load error " + std::string(kind_name(set.error().kind));
        out.message = set.error().message;
        return out;
    }
    auto result = match(compiled.value(), set.value(), options);
    if (!result) {
        out.verdict = "error " + std::string(kind_name(result.error().kind));
        out.message = result.error().message;
        return out;
    }
    const MatchResult& r = result.value();
    out.binding = r.binding;
    out.warnings = r.warnings;
    out.steps = r.steps;
    if (!r.matched) {
        out.verdict = "no match";
        return out;
    }
    out.verdict = "match ";
    for (std::size_t i = 0; i < r.observed_data.size(); ++i) {
        if (i > 0) out.verdict += ',';
        out.verdict += std::to_string(r.observed_data[i]);
    }
    return out;
}

}  // namespace quarnel::match::testing
