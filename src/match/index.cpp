#include "match/index.hpp"

#include <algorithm>
#include <cstring>
#include <set>

// GCC 12 at -O3 reports impossible overlaps inside std::string appends of short keys
// (its bug 105329); the code below only appends to strings it owns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace quarnel::match {

namespace {

template <typename T>
void append_raw(std::string& key, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    key.append(bytes, sizeof(T));
}

// A tag character then the body (built by appending: `"O" + text` trips a GCC 12 warning).
std::string tagged(char tag, std::string_view body) {
    std::string key;
    key.reserve(body.size() + 1);
    key += tag;
    key.append(body);
    return key;
}

std::string number_key(bool is_integer, std::int64_t integer, double real) {
    std::string key;
    if (!is_integer && real >= -9223372036854775808.0 && real < 9223372036854775808.0 &&
        static_cast<double>(static_cast<std::int64_t>(real)) == real) {
        is_integer = true;
        integer = static_cast<std::int64_t>(real);  // -0.0 lands on 0 as well
    }
    if (is_integer) {
        key = "I";
        append_raw(key, integer);
    } else {
        key = "F";
        append_raw(key, real);
    }
    return key;
}

std::string text_key(std::string_view text) {
    if (auto bytes = latin1_bytes(text)) return tagged('O', *bytes);
    return tagged('T', text);
}

std::string time_key(Instant instant) {
    std::string key = "M";
    append_raw(key, instant);
    return key;
}

// A text naming a path: type, then each step with its index.
std::string path_name(const CompiledComparison& c) {
    std::string name = c.object_type;
    for (const PathStep& step : c.path) {
        name += '\0';
        name += step.property;
        if (step.index == PathStep::Index::Star) name += "[*]";
        if (step.index == PathStep::Index::Number) name += "[" + std::to_string(step.number) + "]";
    }
    return name;
}

// Keys that every root satisfying the expression produces: value keys "path id, key", or
// the empty set meaning "the type alone".
struct AnchorSet {
    bool typed_only = false;
    std::set<std::pair<std::string, std::string>> keys;  // (path name, canonical key)
};

bool prefer(const AnchorSet& a, const AnchorSet& b) {
    if (a.typed_only != b.typed_only) return !a.typed_only;
    return a.keys.size() <= b.keys.size();
}

}  // namespace

void value_keys(const Store& store, const Node& value, std::vector<std::string>& keys) {
    switch (value.kind) {
        case Kind::String: {
            const std::string_view text = store.text(value);
            keys.push_back(text_key(text));
            if (const auto instant = parse_data_timestamp(text)) keys.push_back(time_key(*instant));
            break;
        }
        case Kind::Binary: keys.push_back(tagged('O', store.octets(value))); break;
        case Kind::Integer: keys.push_back(number_key(true, value.integer(), 0)); break;
        case Kind::Float: keys.push_back(number_key(false, 0, value.real())); break;
        case Kind::Boolean: keys.push_back(value.boolean ? "B1" : "B0"); break;
        default: break;
    }
}

std::string constant_key(const Constant& c) {
    switch (c.family) {
        case Family::Text: return text_key(c.text);
        case Family::Number: return number_key(c.is_integer, c.integer, c.real);
        case Family::Boolean: return c.boolean ? "B1" : "B0";
        case Family::Time: return time_key(c.instant);
        case Family::Bytes: return tagged('O', c.text);
    }
    return {};
}

std::uint32_t PatternIndex::add(std::shared_ptr<const CompiledPattern> pattern) {
    const auto number = static_cast<std::uint32_t>(patterns_.size());
    patterns_.push_back(std::move(pattern));
    first_anchor_.push_back(anchor_count_);
    const auto expressions = static_cast<std::uint32_t>(patterns_.back()->expressions.size());
    anchor_count_ += expressions;
    for (std::uint32_t e = 0; e < expressions; ++e) index_expression(number, e);
    return number;
}

void PatternIndex::index_expression(std::uint32_t pattern, std::uint32_t expression) {
    const CompiledPattern& p = *patterns_[pattern];
    std::vector<AnchorSet> stack;
    std::unordered_map<std::string, const CompiledComparison*> representatives;
    for (const Instruction& instruction : p.expressions[expression].program) {
        if (instruction.code == Instruction::Code::Compare) {
            const CompiledComparison& c = p.comparisons[instruction.comparison];
            AnchorSet set;
            if (!c.negated && (c.op == Op::Eq || c.op == Op::In)) {
                const std::string name = path_name(c);
                representatives.emplace(name, &c);
                for (const Constant& constant : c.constants) set.keys.emplace(name, constant_key(constant));
            } else {
                set.typed_only = true;
                set.keys.emplace(c.object_type, "");
            }
            stack.push_back(std::move(set));
            continue;
        }
        AnchorSet right = std::move(stack.back());
        stack.pop_back();
        AnchorSet& left = stack.back();
        if (instruction.code == Instruction::Code::And) {
            if (!prefer(left, right)) left = std::move(right);
        } else {
            // A union: type keys stay type keys, value keys stay value keys.
            left.typed_only = left.typed_only && right.typed_only;
            left.keys.insert(right.keys.begin(), right.keys.end());
        }
    }
    const Anchor anchor{pattern, expression};
    for (const auto& [name, key] : stack.back().keys) {
        if (key.empty() && representatives.find(name) == representatives.end()) {
            // A type key: the name is the object type.
            types_[name].anchors.push_back(anchor);
            continue;
        }
        const auto [at, inserted] = path_ids_.emplace(name, static_cast<std::uint32_t>(paths_.size()));
        if (inserted) {
            const CompiledComparison* c = representatives.at(name);
            paths_.push_back({c, {}});
            types_[c->object_type].paths.push_back(at->second);
        }
        paths_[at->second].keys[key].push_back(anchor);
    }
}

PatternIndex::Outcome PatternIndex::match(const ObservationSet& set, MatchOptions options) const {
    options.value_errors = ValueErrors::Lenient;
    Outcome outcome;
    // Per pattern: its evaluator (made on the first hit), candidate lists and warnings.
    struct State {
        std::unique_ptr<Evaluator> evaluator;
        CandidateLists lists;
        std::vector<Warning> warnings;
    };
    std::vector<std::unique_ptr<State>> states(patterns_.size());
    std::vector<std::uint32_t> seen(anchor_count_, UINT32_MAX);
    std::vector<Anchor> hits;
    std::vector<std::string> keys;
    std::vector<Warning> no_warnings;
    if (patterns_.empty()) return outcome;
    // One evaluator serves path evaluation for every registered path.
    Evaluator paths(*patterns_.front(), set, options, no_warnings);
    const auto& records = set.records();
    for (std::uint32_t r = 0; r < records.size(); ++r) {
        hits.clear();
        const auto note = [&](const Anchor& a) {
            const std::uint32_t id = first_anchor_[a.pattern] + a.expression;
            if (seen[id] != r) {
                seen[id] = r;
                hits.push_back(a);
            }
        };
        for (const Root& root : set.roots(records[r])) {
            const auto type = types_.find(std::string(root.type));
            if (type == types_.end()) continue;
            for (const Anchor& a : type->second.anchors) note(a);
            for (const std::uint32_t path : type->second.paths) {
                const PathEntry& entry = paths_[path];
                for (const std::uint32_t value : paths.path_values(*entry.comparison, records[r], root.node)) {
                    keys.clear();
                    value_keys(set.store(), set.store().node(value), keys);
                    for (const std::string& key : keys) {
                        const auto found = entry.keys.find(key);
                        if (found == entry.keys.end()) continue;
                        for (const Anchor& a : found->second) note(a);
                    }
                }
            }
        }
        for (const Anchor& a : hits) {
            auto& state = states[a.pattern];
            const CompiledPattern& p = *patterns_[a.pattern];
            if (!state) {
                state = std::make_unique<State>();
                state->lists.resize(p.lists);
                state->evaluator = std::make_unique<Evaluator>(p, set, options, state->warnings);
            }
            ++outcome.evaluated;
            if (!state->evaluator->satisfies(a.expression, r).value_or(false)) continue;
            const Record& record = records[r];
            for (const Leaf& leaf : p.leaves) {
                if (leaf.expression != a.expression) continue;
                auto& list = state->lists[leaf.list];
                if ((list.empty() || list.back() != r) && record.first < leaf.window_stop &&
                    record.last >= leaf.window_start) {
                    list.push_back(r);
                }
            }
        }
    }
    for (std::uint32_t p = 0; p < patterns_.size(); ++p) {
        if (!states[p]) continue;
        auto result = match_candidates(*patterns_[p], set, states[p]->lists, options, std::move(states[p]->warnings));
        if (!result) {
            outcome.failures.emplace_back(p, std::move(result).error());
        } else if (result.value().matched) {
            outcome.hits.push_back({p, std::move(result).value()});
        }
    }
    return outcome;
}

}  // namespace quarnel::match
