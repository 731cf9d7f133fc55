#include "match/matcher.hpp"

#include <algorithm>

namespace quarnel::match {

Expected<MatchResult, MatchError> match(const CompiledPattern& pattern, const ObservationSet& set,
                                        const MatchOptions& options) {
    std::vector<Warning> warnings;
    std::optional<CandidateLists> lists;
    {
        Evaluator evaluator(pattern, set, options, warnings);
        lists = evaluator.phase1();
        if (!lists) return *evaluator.error();
    }
    return match_candidates(pattern, set, *lists, options, std::move(warnings));
}

Expected<MatchResult, MatchError> match_candidates(const CompiledPattern& pattern, const ObservationSet& set,
                                                   const CandidateLists& lists, const MatchOptions& options,
                                                   std::vector<Warning> warnings) {
    const SearchOutcome outcome = search(pattern, set, lists, options.max_search_steps);
    if (outcome.status == SearchOutcome::Status::Limit) {
        return MatchError{MatchErrorKind::SearchLimit,
                          "binding search exceeded " + std::to_string(options.max_search_steps) + " steps"};
    }
    MatchResult result;
    result.warnings = std::move(warnings);
    result.steps = outcome.steps;
    if (outcome.status != SearchOutcome::Status::Match) return result;
    result.matched = true;
    result.binding = outcome.binding;
    for (const BindingEntry& entry : outcome.binding) result.observed_data.push_back(entry.record);
    std::sort(result.observed_data.begin(), result.observed_data.end());
    result.observed_data.erase(std::unique(result.observed_data.begin(), result.observed_data.end()),
                               result.observed_data.end());
    for (const std::uint32_t r : result.observed_data) {
        result.observed_data_ids.emplace_back(set.id(set.records()[r]));
    }
    return result;
}

}  // namespace quarnel::match
