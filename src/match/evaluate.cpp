#define PCRE2_CODE_UNIT_WIDTH 8
#include "match/evaluate.hpp"

#include <pcre2.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace quarnel::match {

namespace {

// Exact comparison of an integer with a double: -1, 0 or 1.
int compare_integer_real(std::int64_t i, double d) {
    if (d >= 9223372036854775808.0) return -1;  // +infinity included
    if (d < -9223372036854775808.0) return 1;   // -infinity included
    const auto t = static_cast<std::int64_t>(d);
    if (i != t) return i < t ? -1 : 1;
    const double fraction = d - static_cast<double>(t);
    return fraction > 0 ? -1 : fraction < 0 ? 1 : 0;
}

int compare_numbers(const Node& value, const Constant& c) {
    if (value.kind == Kind::Integer) {
        const std::int64_t integer = value.integer();
        if (c.is_integer) return integer < c.integer ? -1 : integer > c.integer ? 1 : 0;
        return compare_integer_real(integer, c.real);
    }
    const double real = value.real();
    if (c.is_integer) return -compare_integer_real(c.integer, real);
    return real < c.real ? -1 : real > c.real ? 1 : 0;
}

int compare_bytes(std::string_view a, std::string_view b) {
    const int r = a.compare(b);  // char_traits<char> compares as unsigned char
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

template <typename Unit>
bool like_match(const std::vector<std::uint32_t>& tokens, const std::vector<Unit>& units) {
    std::size_t t = 0, u = 0;
    std::size_t star = SIZE_MAX, star_unit = 0;
    while (u < units.size()) {
        if (t < tokens.size() && tokens[t] == LikeProgram::any_run) {
            star = t++;
            star_unit = u;
        } else if (t < tokens.size() &&
                   (tokens[t] == LikeProgram::any_one || tokens[t] == static_cast<std::uint32_t>(units[u]))) {
            ++t;
            ++u;
        } else if (star != SIZE_MAX) {
            t = star + 1;
            u = ++star_unit;
        } else {
            return false;
        }
    }
    while (t < tokens.size() && tokens[t] == LikeProgram::any_run) ++t;
    return t == tokens.size();
}

}  // namespace

Evaluator::Evaluator(const CompiledPattern& pattern, const ObservationSet& set, const MatchOptions& options,
                     std::vector<Warning>& warnings)
    : pattern_(pattern), set_(set), store_(set.store()), options_(options), warnings_(warnings) {}

Evaluator::~Evaluator() {
    if (match_data_ != nullptr) pcre2_match_data_free(match_data_);
    if (match_context_ != nullptr) pcre2_match_context_free(match_context_);
}

std::optional<CandidateLists> Evaluator::phase1() {
    CandidateLists lists(pattern_.lists);
    // The first leaf of each list decides it; later leaves of the same list add nothing.
    std::vector<std::uint32_t> deciding;
    std::vector<bool> seen(pattern_.lists, false);
    for (std::uint32_t j = 0; j < pattern_.leaves.size(); ++j) {
        if (!seen[pattern_.leaves[j].list]) {
            seen[pattern_.leaves[j].list] = true;
            deciding.push_back(j);
        }
    }
    const auto& records = set_.records();
    std::vector<std::int8_t> known(pattern_.expressions.size());
    for (std::uint32_t r = 0; r < records.size(); ++r) {
        std::fill(known.begin(), known.end(), -1);
        const Record& record = records[r];
        for (const std::uint32_t j : deciding) {
            const Leaf& leaf = pattern_.leaves[j];
            if (known[leaf.expression] < 0) {
                const auto ok = satisfies(leaf.expression, r);
                if (!ok) return std::nullopt;
                known[leaf.expression] = *ok ? 1 : 0;
            }
            if (known[leaf.expression] == 1 && record.first < leaf.window_stop && record.last >= leaf.window_start) {
                lists[leaf.list].push_back(r);
            }
        }
    }
    return lists;
}

std::optional<bool> Evaluator::satisfies(std::uint32_t expression_id, std::uint32_t record_index) {
    const Expression& expression = pattern_.expressions[expression_id];
    const Record& record = set_.records()[record_index];
    bool ok = false;
    for (const Root& root : set_.roots(record)) {
        if (std::find(expression.types.begin(), expression.types.end(), root.type) == expression.types.end()) {
            continue;  // every comparison is false on a root of another type
        }
        const bool holds_here = holds(expression, record, root);
        if (error_) return std::nullopt;
        ok = ok || holds_here;
        if (ok && options_.value_errors == ValueErrors::Lenient) break;
    }
    return ok;
}

bool Evaluator::holds(const Expression& expression, const Record& record, const Root& root) {
    stack_.clear();
    for (const Instruction& instruction : expression.program) {
        if (instruction.code == Instruction::Code::Compare) {
            const auto truth = comparison(pattern_.comparisons[instruction.comparison], record, root);
            if (!truth) return false;
            stack_.push_back(*truth ? 1 : 0);
            continue;
        }
        const std::uint8_t right = stack_.back();
        stack_.pop_back();
        if (instruction.code == Instruction::Code::And) {
            stack_.back() = stack_.back() & right;
        } else {
            stack_.back() = stack_.back() | right;
        }
    }
    return stack_.back() != 0;
}

std::optional<bool> Evaluator::comparison(const CompiledComparison& c, const Record& record, const Root& root) {
    if (root.type != c.object_type) return false;
    eval_path(c, record, root.node);
    if (c.op == Op::Exists) return !values_.empty();
    bool result = false;
    for (const std::uint32_t value : values_) {
        const Truth truth = predicate(c, value);
        if (truth == Truth::Error) {
            if (error_) return std::nullopt;
            continue;  // lenient: the value is dropped
        }
        result = result || ((truth == Truth::True) != c.negated);
    }
    return result;
}

void Evaluator::eval_path(const CompiledComparison& c, const Record& record, std::uint32_t root) {
    values_.assign(1, root);
    for (const PathStep& step : c.path) {
        next_.clear();
        for (const std::uint32_t v : values_) {
            const std::uint32_t member = store_.member(v, step.property);
            if (member == no_node) continue;
            const Node& m = store_.node(member);
            switch (step.index) {
                case PathStep::Index::None: next_.push_back(member); break;
                case PathStep::Index::Number:
                    if (m.kind == Kind::List && step.number < m.count) {
                        next_.push_back(store_.children[m.first + step.number]);
                    }
                    break;
                case PathStep::Index::Star:
                    if (m.kind == Kind::List) next_.insert(next_.end(), store_.child_begin(m), store_.child_end(m));
                    break;
            }
        }
        if (step.dereference) {
            std::size_t kept = 0;
            for (const std::uint32_t v : next_) {
                const Node& n = store_.node(v);
                if (n.kind != Kind::String) continue;
                const std::uint32_t target = set_.resolve(record, store_.text(n));
                if (target != no_node) next_[kept++] = target;
            }
            next_.resize(kept);
        }
        // Deduplicate by identity, keeping first occurrences.
        values_.clear();
        if (next_.size() <= 32) {
            for (const std::uint32_t v : next_) {
                if (std::find(values_.begin(), values_.end(), v) == values_.end()) values_.push_back(v);
            }
        } else {
            std::unordered_set<std::uint32_t> seen;
            for (const std::uint32_t v : next_) {
                if (seen.insert(v).second) values_.push_back(v);
            }
        }
        if (values_.empty()) return;
    }
}

Evaluator::Truth Evaluator::value_error(MatchErrorKind kind, std::string message) {
    if (options_.value_errors == ValueErrors::Strict) {
        if (!error_) error_ = MatchError{kind, std::move(message)};
    } else {
        warnings_.push_back(MatchError{kind, std::move(message)});
    }
    return Truth::Error;
}

Evaluator::Truth Evaluator::not_a_timestamp(std::uint32_t at, std::string_view text) {
    return value_error(MatchErrorKind::ValueNotTimestamp,
                       store_.location(at) + ": value compared with a timestamp is not a valid timestamp: " +
                           std::string(text));
}

Evaluator::Truth Evaluator::predicate(const CompiledComparison& c, std::uint32_t at) {
    const Node& value = store_.node(at);
    int cmp = 0;
    switch (c.op) {
        case Op::Eq:
        case Op::Neq: {
            const Truth t = equal(value, at, c.constants.front());
            if (t == Truth::Error || c.op == Op::Eq) return t;
            return t == Truth::True ? Truth::False : Truth::True;
        }
        case Op::In: {
            bool any = false;
            for (const Constant& constant : c.constants) {
                const Truth t = equal(value, at, constant);
                if (t == Truth::Error) return t;
                any = any || t == Truth::True;
            }
            return any ? Truth::True : Truth::False;
        }
        case Op::Gt:
        case Op::Lt:
        case Op::Ge:
        case Op::Le: {
            const Truth t = order(value, at, c.constants.front(), cmp);
            if (t != Truth::True) return t;
            const bool holds = c.op == Op::Gt ? cmp > 0 : c.op == Op::Lt ? cmp < 0 : c.op == Op::Ge ? cmp >= 0 : cmp <= 0;
            return holds ? Truth::True : Truth::False;
        }
        case Op::Like: return like(value, c.like);
        case Op::Matches: return matches(value, at, c.regex);
        case Op::IsSubset:
        case Op::IsSuperset: {
            if (value.kind != Kind::String) return Truth::False;
            const auto block = parse_address_block(store_.text(value));
            if (!block) return Truth::False;
            const bool holds = c.op == Op::IsSubset ? block_within(*block, c.block) : block_within(c.block, *block);
            return holds ? Truth::True : Truth::False;
        }
        case Op::Exists: return Truth::True;
    }
    return Truth::False;
}

Evaluator::Truth Evaluator::equal(const Node& value, std::uint32_t at, const Constant& c) {
    const auto truth = [](bool b) { return b ? Truth::True : Truth::False; };
    switch (value.kind) {
        case Kind::String: {
            const std::string_view text = store_.text(value);
            switch (c.family) {
                case Family::Text: return truth(text == c.text);
                case Family::Time: {
                    const auto instant = parse_data_timestamp(text);
                    if (!instant) return not_a_timestamp(at, text);
                    return truth(*instant == c.instant);
                }
                case Family::Bytes: {
                    const auto bytes = latin1_bytes(text);
                    return truth(bytes && *bytes == c.text);
                }
                default: return Truth::False;
            }
        }
        case Kind::Binary:
            if (c.family == Family::Bytes) return truth(store_.octets(value) == c.text);
            if (c.family == Family::Text) return truth(c.latin1 && store_.octets(value) == *c.latin1);
            return Truth::False;
        case Kind::Integer:
        case Kind::Float: return truth(c.family == Family::Number && compare_numbers(value, c) == 0);
        case Kind::Boolean: return truth(c.family == Family::Boolean && value.boolean == c.boolean);
        default: return Truth::False;
    }
}

// Truth::True with `result` set when the pair is comparable; False when it is not.
Evaluator::Truth Evaluator::order(const Node& value, std::uint32_t at, const Constant& c, int& result) {
    switch (value.kind) {
        case Kind::String: {
            const std::string_view text = store_.text(value);
            if (c.family == Family::Text) {
                result = compare_bytes(text, c.text);
                return Truth::True;
            }
            if (c.family == Family::Time) {
                const auto instant = parse_data_timestamp(text);
                if (!instant) return not_a_timestamp(at, text);
                result = *instant < c.instant ? -1 : *instant > c.instant ? 1 : 0;
                return Truth::True;
            }
            if (c.family == Family::Bytes) {
                const auto bytes = latin1_bytes(text);
                if (!bytes) return Truth::False;
                result = compare_bytes(*bytes, c.text);
                return Truth::True;
            }
            return Truth::False;
        }
        case Kind::Binary:
            if (c.family == Family::Bytes) {
                result = compare_bytes(store_.octets(value), c.text);
                return Truth::True;
            }
            if (c.family == Family::Text && c.latin1) {
                result = compare_bytes(store_.octets(value), *c.latin1);
                return Truth::True;
            }
            return Truth::False;
        case Kind::Integer:
        case Kind::Float:
            if (c.family != Family::Number) return Truth::False;
            result = compare_numbers(value, c);
            return Truth::True;
        default: return Truth::False;
    }
}

Evaluator::Truth Evaluator::like(const Node& value, const LikeProgram& program) {
    bool holds = false;
    if (value.kind == Kind::String) {
        holds = like_match(program.tokens, code_points(to_nfc(store_.text(value))));
    } else if (value.kind == Kind::Binary && program.latin1) {
        const std::string_view octets = store_.octets(value);
        holds = like_match(program.tokens, std::vector<unsigned char>(octets.begin(), octets.end()));
    }
    return holds ? Truth::True : Truth::False;
}

Evaluator::Truth Evaluator::matches(const Node& value, std::uint32_t at, const RegexCode& regex) {
    std::string subject;
    const pcre2_code* code = nullptr;
    std::uint32_t flags = 0;
    if (value.kind == Kind::String) {
        subject = to_nfc(store_.text(value));
        code = regex.text.get();
        flags = PCRE2_NO_UTF_CHECK;
    } else if (value.kind == Kind::Binary && regex.bytes) {
        subject = std::string(store_.octets(value));
        code = regex.bytes.get();
    } else {
        return Truth::False;
    }
    if (match_data_ == nullptr) {
        match_data_ = pcre2_match_data_create(1, nullptr);
        match_context_ = pcre2_match_context_create(nullptr);
        if (match_data_ == nullptr || match_context_ == nullptr) throw std::bad_alloc();
        pcre2_set_match_limit(match_context_, options_.regex_match_limit);
        pcre2_set_depth_limit(match_context_, options_.regex_depth_limit);
    }
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, flags,
                               match_data_, match_context_);
    if (rc >= 0) return Truth::True;
    if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT) {
        return value_error(MatchErrorKind::RegexLimit,
                           store_.location(at) + ": regular expression search exceeded its resource limit");
    }
    return Truth::False;
}

}  // namespace quarnel::match
