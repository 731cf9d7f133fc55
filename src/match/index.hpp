// The pattern index: many compiled patterns against a batch of records, evaluating only
// the observations that some root of a record can satisfy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "match/compiler.hpp"
#include "match/matcher.hpp"
#include "match/observations.hpp"

namespace quarnel::match {

// Canonical keys: two values get the same key exactly when `=` holds between them. A value
// may have two keys (a string that is also a timestamp); null, objects and lists have none.
void value_keys(const Store& store, const Node& value, std::vector<std::string>& keys);
std::string constant_key(const Constant& constant);

class PatternIndex {
public:
    struct Hit {
        std::uint32_t pattern;  // the number add() gave it
        MatchResult result;
    };

    // Adds a pattern; patterns are numbered from 0 in the order they are added.
    std::uint32_t add(std::shared_ptr<const CompiledPattern> pattern);
    std::size_t size() const { return patterns_.size(); }

    // Every pattern that matches the records, in pattern order, each with the result that
    // matching it alone gives in lenient mode. Patterns whose search exceeds its budget
    // are listed in `failures` with their error instead.
    struct Outcome {
        std::vector<Hit> hits;
        std::vector<std::pair<std::uint32_t, MatchError>> failures;
        std::size_t evaluated = 0;  // (record, observation) evaluations performed
    };
    Outcome match(const ObservationSet& set, MatchOptions options = {}) const;

private:
    struct Anchor {
        std::uint32_t pattern;
        std::uint32_t expression;
    };
    struct PathEntry {
        const CompiledComparison* comparison;  // one comparison that uses the path
        std::unordered_map<std::string, std::vector<Anchor>> keys;
    };
    struct TypeEntry {
        std::vector<std::uint32_t> paths;  // into paths_
        std::vector<Anchor> anchors;       // observations anchored on the type alone
    };

    void index_expression(std::uint32_t pattern, std::uint32_t expression);

    std::vector<std::shared_ptr<const CompiledPattern>> patterns_;
    std::vector<std::uint32_t> first_anchor_;  // per pattern: numbering of its expressions
    std::uint32_t anchor_count_ = 0;
    std::vector<PathEntry> paths_;
    std::unordered_map<std::string, std::uint32_t> path_ids_;  // type and path -> paths_
    std::unordered_map<std::string, TypeEntry> types_;
};

}  // namespace quarnel::match
