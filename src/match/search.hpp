// The binding search: the first binding in canonical order over the candidate lists, with
// runs for repetitions of one observation, static feasibility, time bounds that skip
// candidates which cannot fit, and a budget of steps. No recursion: an explicit machine.
#pragma once

#include <cstdint>
#include <vector>

#include "match/compiler.hpp"
#include "match/evaluate.hpp"
#include "match/observations.hpp"

namespace quarnel::match {

struct BindingEntry {
    std::uint32_t leaf = 0;
    std::uint32_t record = 0;
    std::uint64_t count = 0;
    bool operator==(const BindingEntry&) const = default;
};

struct SearchOutcome {
    enum class Status { Match, NoMatch, Limit };
    Status status = Status::NoMatch;
    std::vector<BindingEntry> binding;
    std::uint64_t steps = 0;
};

SearchOutcome search(const CompiledPattern& pattern, const ObservationSet& set, const CandidateLists& lists,
                     std::uint64_t max_steps);

}  // namespace quarnel::match
