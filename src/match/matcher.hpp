// The matcher's entry: a compiled pattern against a loaded observation set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "match/compiler.hpp"
#include "match/errors.hpp"
#include "match/evaluate.hpp"
#include "match/observations.hpp"
#include "match/search.hpp"

namespace quarnel::match {

struct MatchResult {
    bool matched = false;
    std::vector<std::uint32_t> observed_data;      // distinct records of the first binding, ascending
    std::vector<std::string> observed_data_ids;    // their ids, "" when absent
    std::vector<BindingEntry> binding;             // the first binding, in decision order
    std::vector<Warning> warnings;                 // lenient-mode value errors
    std::uint64_t steps = 0;                       // search steps spent
};

Expected<MatchResult, MatchError> match(const CompiledPattern& pattern, const ObservationSet& set,
                                        const MatchOptions& options = {});

// The search over candidate lists already computed (by phase 1 or by an index).
Expected<MatchResult, MatchError> match_candidates(const CompiledPattern& pattern, const ObservationSet& set,
                                                   const CandidateLists& lists, const MatchOptions& options,
                                                   std::vector<Warning> warnings);

}  // namespace quarnel::match
