// Leaf evaluation: which records satisfy each observation's comparison expression.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "match/compiler.hpp"
#include "match/errors.hpp"
#include "match/observations.hpp"

struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;

namespace quarnel::match {

enum class ValueErrors { Strict, Lenient };

struct MatchOptions {
    ValueErrors value_errors = ValueErrors::Strict;
    std::uint32_t regex_match_limit = 10'000'000;
    std::uint32_t regex_depth_limit = 10'000;
    std::uint64_t max_search_steps = 10'000'000;
};

// Candidate lists, by list id of the compiled pattern: record indices, ascending.
using CandidateLists = std::vector<std::vector<std::uint32_t>>;

// Evaluates comparison expressions on records. One per match call: it holds scratch space
// and the regular-expression state of that call.
class Evaluator {
public:
    Evaluator(const CompiledPattern& pattern, const ObservationSet& set, const MatchOptions& options,
              std::vector<Warning>& warnings);
    ~Evaluator();
    Evaluator(const Evaluator&) = delete;
    Evaluator& operator=(const Evaluator&) = delete;

    // Whether some root of the record satisfies the expression; nothing after a strict
    // value error, which error() then holds.
    std::optional<bool> satisfies(std::uint32_t expression, std::uint32_t record);
    // Every leaf on every record, in the canonical order; nothing after a strict error.
    std::optional<CandidateLists> phase1();
    const std::optional<MatchError>& error() const { return error_; }
    // The values a comparison's path reaches from one root, deduplicated, in order.
    const std::vector<std::uint32_t>& path_values(const CompiledComparison& c, const Record& record,
                                                  std::uint32_t root) {
        eval_path(c, record, root);
        return values_;
    }

private:
    enum class Truth : std::uint8_t { False, True, Error };

    bool holds(const Expression& expression, const Record& record, const Root& root);
    std::optional<bool> comparison(const CompiledComparison& c, const Record& record, const Root& root);
    void eval_path(const CompiledComparison& c, const Record& record, std::uint32_t root);
    Truth predicate(const CompiledComparison& c, std::uint32_t value);
    Truth equal(const Node& value, std::uint32_t at, const Constant& constant);
    Truth order(const Node& value, std::uint32_t at, const Constant& constant, int& result);
    Truth like(const Node& value, const LikeProgram& program);
    Truth matches(const Node& value, std::uint32_t at, const RegexCode& regex);
    Truth value_error(MatchErrorKind kind, std::string message);
    Truth not_a_timestamp(std::uint32_t at, std::string_view text);

    const CompiledPattern& pattern_;
    const ObservationSet& set_;
    const Store& store_;
    const MatchOptions options_;  // a copy: callers may pass a temporary
    std::vector<Warning>& warnings_;
    std::optional<MatchError> error_;
    std::vector<std::uint32_t> values_, next_;
    std::vector<std::uint8_t> stack_;
    pcre2_real_match_data_8* match_data_ = nullptr;
    pcre2_real_match_context_8* match_context_ = nullptr;
};

}  // namespace quarnel::match
