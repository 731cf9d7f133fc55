#include "match/search.hpp"

#include <algorithm>
#include <limits>

namespace quarnel::match {

namespace {

using NodeKind = PatternNode::Kind;
constexpr std::uint32_t none = UINT32_MAX;
constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > unbounded - b ? unbounded : a + b; }
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > unbounded / b ? unbounded : a * b;
}

struct Summary {
    Instant first = instant_min;  // F: the latest first_observed
    Instant last = instant_max;   // L: the earliest last_observed
};

Summary combine(const Summary& a, const Summary& b) {
    return {std::max(a.first, b.first), std::min(a.last, b.last)};
}

// Candidates of one list, with a tree of interval bounds over their positions to find the
// next candidate whose last_observed reaches A and whose first_observed stays within B.
class CandidateIndex {
public:
    CandidateIndex(const std::vector<std::uint32_t>& list, const Records& records)
        : list_(list) {
        size_ = 1;
        while (size_ < list.size()) size_ *= 2;
        max_last_.assign(2 * size_, instant_min);
        min_first_.assign(2 * size_, instant_max);
        for (std::size_t i = 0; i < list.size(); ++i) {
            max_last_[size_ + i] = records[list[i]].last;
            min_first_[size_ + i] = records[list[i]].first;
        }
        for (std::size_t i = size_; i-- > 1;) {
            max_last_[i] = std::max(max_last_[2 * i], max_last_[2 * i + 1]);
            min_first_[i] = std::min(min_first_[2 * i], min_first_[2 * i + 1]);
        }
    }

    // The first position at or after `from` admissible under (A, B), or none.
    std::uint32_t next(std::uint32_t from, Instant a, Instant b) const {
        return find(1, 0, size_, from, a, b);
    }

private:
    bool fits(std::size_t node, Instant a, Instant b) const { return max_last_[node] >= a && min_first_[node] <= b; }

    // Depth-first over the tree, left to right, skipping subtrees before `from` and
    // subtrees whose bounds admit no candidate; the depth is the tree's height.
    std::uint32_t find(std::size_t node, std::size_t low, std::size_t high, std::uint32_t from, Instant a,
                       Instant b) const {
        if (high <= from || low >= list_.size() || !fits(node, a, b)) return none;
        if (node >= size_) return static_cast<std::uint32_t>(low);
        const std::size_t middle = (low + high) / 2;
        const std::uint32_t left = find(2 * node, low, middle, from, a, b);
        return left != none ? left : find(2 * node + 1, middle, high, from, a, b);
    }

    const std::vector<std::uint32_t>& list_;
    std::size_t size_ = 1;
    std::vector<Instant> max_last_, min_first_;
};

struct Env {
    Instant min_last = instant_min;   // every slot needs l >= this (FOLLOWEDBY)
    Instant max_first = instant_max;  // every slot needs f <= this (a later side must follow)
    std::uint32_t scope = none;       // innermost WITHIN scope
};

struct Scope {
    Instant limit;
    Instant max_first = instant_min;
    Instant min_last = instant_max;
    std::uint32_t parent;
};

enum class GoalKind : std::uint8_t { Success, AndRight, FollowedByRight, Join, CopyDone };

struct Goal {
    Goal() = default;
    explicit Goal(GoalKind k) : kind(k) {}
    GoalKind kind = GoalKind::Success;
    std::uint32_t node = 0;
    std::uint32_t next = 0;
    Env env;
    Summary saved;
    std::uint64_t copy = 0;
    std::uint32_t log_start = 0;
    std::uint32_t previous_start = 0, previous_end = 0;
};

struct Undo {
    bool scope;
    std::uint32_t index;
    std::uint64_t amount;
    Instant max_first, min_last;
};

struct Decision {
    std::uint32_t value;
    std::uint64_t count;
};

enum class ChoiceKind : std::uint8_t { Leaf, Or, Run };

struct Choice {
    ChoiceKind kind;
    std::uint32_t node;  // leaf node, OR node, or the repeated leaf's node
    std::uint32_t next;
    Env env;
    std::uint32_t goals, undo, log, slots, scopes;  // sizes to restore
    std::uint32_t position = 0;                     // next candidate position to examine
    std::uint32_t record_position = 0;              // runs: the record being tried
    Instant a = instant_min, b = instant_max;
    std::uint64_t remaining = 0, length = 0;
    Summary accumulated;
};

class Machine {
public:
    Machine(const CompiledPattern& pattern, const ObservationSet& set, const CandidateLists& lists,
            std::uint64_t max_steps)
        : pattern_(pattern), records_(set.records()), lists_(lists), max_steps_(max_steps),
          uses_(set.records().size(), 0), indexes_(lists.size()) {}

    SearchOutcome run() {
        SearchOutcome outcome;
        analyse();
        const std::uint32_t root = pattern_.root();
        if (!viable(root)) return outcome;
        goals_.emplace_back(GoalKind::Success);
        action_ = Action::Visit;
        visit_node_ = root;
        visit_env_ = Env{};
        visit_next_ = 0;
        while (true) {
            if (++work_ > work_limit()) action_ = Action::Limit;
            switch (action_) {
                case Action::Visit: visit(); break;
                case Action::Return: resume(); break;
                case Action::Fail: backtrack(); break;
                case Action::Runs: runs(); break;
                case Action::Success:
                    outcome.status = SearchOutcome::Status::Match;
                    outcome.binding = binding();
                    outcome.steps = steps_;
                    return outcome;
                case Action::Exhausted: outcome.steps = steps_; return outcome;
                case Action::Limit:
                    outcome.status = SearchOutcome::Status::Limit;
                    outcome.steps = steps_;
                    return outcome;
            }
        }
    }

private:
    enum class Action : std::uint8_t { Visit, Return, Fail, Runs, Success, Exhausted, Limit };

    std::uint64_t work_limit() const { return saturating_add(saturating_mul(max_steps_, 64), 1'000'000); }

    // ---- Static feasibility

    void analyse() {
        const std::size_t count = pattern_.nodes.size();
        possible_.assign(count, false);
        min_slots_.assign(count, 0);
        max_last_.assign(count, instant_min);
        capacity_ok_.assign(count, true);
        for (std::uint32_t i = 0; i < count; ++i) {
            const PatternNode& n = pattern_.nodes[i];
            switch (n.kind) {
                case NodeKind::Leaf: {
                    const auto& list = lists_[pattern_.leaves[n.leaf].list];
                    possible_[i] = !list.empty();
                    min_slots_[i] = 1;
                    for (const std::uint32_t r : list) max_last_[i] = std::max(max_last_[i], records_[r].last);
                    break;
                }
                case NodeKind::And:
                case NodeKind::FollowedBy:
                    possible_[i] = possible_[n.left] && possible_[n.right];
                    min_slots_[i] = saturating_add(min_slots_[n.left], min_slots_[n.right]);
                    max_last_[i] = std::min(max_last_[n.left], max_last_[n.right]);
                    break;
                case NodeKind::Or:
                    possible_[i] = possible_[n.left] || possible_[n.right];
                    min_slots_[i] = possible_[n.left] && possible_[n.right]
                                        ? std::min(min_slots_[n.left], min_slots_[n.right])
                                        : possible_[n.left] ? min_slots_[n.left] : min_slots_[n.right];
                    max_last_[i] = std::max(possible_[n.left] ? max_last_[n.left] : instant_min,
                                            possible_[n.right] ? max_last_[n.right] : instant_min);
                    break;
                case NodeKind::Qualified:
                    possible_[i] = possible_[n.left] && (!n.has_window || n.start < n.stop);
                    min_slots_[i] = saturating_mul(n.repeat, min_slots_[n.left]);
                    max_last_[i] = max_last_[n.left];
                    break;
            }
        }
        check_capacities();
    }

    // Nodes that every binding uses (not below an OR), and both sides of every OR, need
    // at least min_slots instances among their candidates. Bounded work: past the budget
    // the remaining nodes are simply not checked.
    void check_capacities() {
        const std::size_t count = pattern_.nodes.size();
        std::vector<bool> mandatory(count, false), checked(count, false);
        mandatory[pattern_.root()] = true;
        for (std::size_t i = count; i-- > 0;) {
            const PatternNode& n = pattern_.nodes[i];
            if (n.kind == NodeKind::Leaf) continue;
            if (n.kind == NodeKind::Or) {
                checked[n.left] = checked[n.right] = true;
            } else {
                mandatory[n.left] = mandatory[i];
                if (n.kind != NodeKind::Qualified) mandatory[n.right] = mandatory[i];
            }
            if (mandatory[i] && (n.kind == NodeKind::Qualified || i == pattern_.root())) checked[i] = true;
        }
        checked[pattern_.root()] = true;
        std::uint64_t budget = 4'000'000;
        std::vector<std::uint32_t> list_mark(lists_.size(), 0), record_mark(records_.size(), 0);
        std::uint32_t generation = 0;
        std::vector<std::uint32_t> stack;
        for (std::size_t i = count; i-- > 0;) {
            if (!checked[i] || !possible_[i] || min_slots_[i] <= 1) continue;
            ++generation;
            std::uint64_t capacity = 0;
            stack.assign(1, static_cast<std::uint32_t>(i));
            while (!stack.empty() && budget > 0) {
                const PatternNode& n = pattern_.nodes[stack.back()];
                stack.pop_back();
                --budget;
                if (n.kind != NodeKind::Leaf) {
                    stack.push_back(n.left);
                    if (n.kind != NodeKind::Qualified) stack.push_back(n.right);
                    continue;
                }
                const std::uint32_t list = pattern_.leaves[n.leaf].list;
                if (list_mark[list] == generation) continue;
                list_mark[list] = generation;
                for (const std::uint32_t r : lists_[list]) {
                    if (budget == 0) break;
                    --budget;
                    if (record_mark[r] == generation) continue;
                    record_mark[r] = generation;
                    capacity += records_[r].count;
                }
            }
            if (budget == 0) return;
            if (min_slots_[i] > capacity) {
                capacity_ok_[i] = false;
                if (mandatory[i]) capacity_ok_[pattern_.root()] = false;
            }
        }
    }

    bool viable(std::uint32_t node) const { return possible_[node] && capacity_ok_[node]; }

    // ---- Candidates and bindings

    const CandidateIndex& index(std::uint32_t list) {
        if (!indexes_[list]) indexes_[list] = std::make_unique<CandidateIndex>(lists_[list], records_);
        return *indexes_[list];
    }

    void bounds(const Env& env, Instant& a, Instant& b) const {
        a = env.min_last;
        b = env.max_first;
        for (std::uint32_t s = env.scope; s != none; s = scopes_[s].parent) {
            const Scope& scope = scopes_[s];
            if (scope.max_first != instant_min) a = std::max(a, scope.max_first - scope.limit);
            if (scope.min_last != instant_max) b = std::min(b, scope.min_last + scope.limit);
        }
    }

    bool count_step() {
        if (++steps_ > max_steps_) {
            action_ = Action::Limit;
            return false;
        }
        return true;
    }

    void bind(std::uint32_t leaf, std::uint32_t record, std::uint64_t count, const Env& env) {
        uses_[record] += count;
        undo_.push_back({false, record, count, 0, 0});
        const Record& r = records_[record];
        for (std::uint32_t s = env.scope; s != none; s = scopes_[s].parent) {
            Scope& scope = scopes_[s];
            undo_.push_back({true, s, 0, scope.max_first, scope.min_last});
            scope.max_first = std::max(scope.max_first, r.first);
            scope.min_last = std::min(scope.min_last, r.last);
        }
        log_.push_back({record, count});
        slots_.push_back({leaf, record, count});
    }

    std::uint32_t push_goal(const Goal& goal) {
        goals_.push_back(goal);
        return static_cast<std::uint32_t>(goals_.size() - 1);
    }

    Choice& push_choice(ChoiceKind kind, std::uint32_t node, std::uint32_t next, const Env& env) {
        Choice& c = choices_.emplace_back();
        c.kind = kind;
        c.node = node;
        c.next = next;
        c.env = env;
        c.goals = static_cast<std::uint32_t>(goals_.size());
        c.undo = static_cast<std::uint32_t>(undo_.size());
        c.log = static_cast<std::uint32_t>(log_.size());
        c.slots = static_cast<std::uint32_t>(slots_.size());
        c.scopes = static_cast<std::uint32_t>(scopes_.size());
        return c;
    }

    void restore(const Choice& c) {
        while (undo_.size() > c.undo) {
            const Undo& u = undo_.back();
            if (u.scope) {
                scopes_[u.index].max_first = u.max_first;
                scopes_[u.index].min_last = u.min_last;
            } else {
                uses_[u.index] -= u.amount;
            }
            undo_.pop_back();
        }
        goals_.resize(c.goals);
        log_.resize(c.log);
        slots_.resize(c.slots);
        scopes_.resize(c.scopes);
    }

    // ---- The machine

    void visit() {
        const PatternNode& n = pattern_.nodes[visit_node_];
        switch (n.kind) {
            case NodeKind::Leaf: {
                Choice& c = push_choice(ChoiceKind::Leaf, visit_node_, visit_next_, visit_env_);
                bounds(c.env, c.a, c.b);
                try_leaf(choices_.size() - 1);
                return;
            }
            case NodeKind::Or: visit_or(n); return;
            case NodeKind::And:
            case NodeKind::FollowedBy: {
                Goal goal(n.kind == NodeKind::And ? GoalKind::AndRight : GoalKind::FollowedByRight);
                goal.node = n.right;
                goal.next = visit_next_;
                goal.env = visit_env_;
                visit_next_ = push_goal(goal);
                if (n.kind == NodeKind::FollowedBy) {
                    visit_env_.max_first = std::min(visit_env_.max_first, max_last_[n.right]);
                }
                visit_node_ = n.left;
                return;
            }
            case NodeKind::Qualified: visit_qualified(n); return;
        }
    }

    void visit_or(const PatternNode& n) {
        const bool left = viable(n.left), right = viable(n.right);
        if (left && right) {
            push_choice(ChoiceKind::Or, visit_node_, visit_next_, visit_env_);
        } else if (!left && !right) {
            action_ = Action::Fail;
            return;
        }
        log_.push_back({left ? 0u : 1u, 1});
        visit_node_ = left ? n.left : n.right;
    }

    // The leaf below a repetition's operand when it is one observation, possibly wrapped
    // in qualifiers without REPEATS (their windows are in the candidate lists already and
    // WITHIN on one slot always holds); none otherwise.
    std::uint32_t single_leaf(std::uint32_t node) const {
        while (pattern_.nodes[node].kind == NodeKind::Qualified && pattern_.nodes[node].repeat == 1) {
            node = pattern_.nodes[node].left;
        }
        return pattern_.nodes[node].kind == NodeKind::Leaf ? node : none;
    }

    void visit_qualified(const PatternNode& n) {
        Env env = visit_env_;
        if (n.has_within && !n.within_always) {
            scopes_.push_back({n.limit_ns, instant_min, instant_max, env.scope});
            env.scope = static_cast<std::uint32_t>(scopes_.size() - 1);
        }
        if (n.repeat == 1) {
            visit_env_ = env;
            visit_node_ = n.left;
            return;
        }
        const std::uint32_t leaf = single_leaf(n.left);
        if (leaf != none) {
            runs_leaf_ = leaf;
            runs_env_ = env;
            runs_remaining_ = n.repeat;
            runs_from_ = 0;
            runs_accumulated_ = Summary{};
            runs_next_ = visit_next_;
            action_ = Action::Runs;
            return;
        }
        Goal goal(GoalKind::CopyDone);
        goal.node = visit_node_;
        goal.next = visit_next_;
        goal.env = env;
        goal.copy = 1;
        goal.log_start = static_cast<std::uint32_t>(log_.size());
        goal.saved = Summary{};
        visit_next_ = push_goal(goal);
        visit_env_ = env;
        visit_node_ = n.left;
    }

    // The position of the next candidate of the choice's leaf that is admissible and not
    // yet full, one step per candidate examined; none when there is none (the choice is
    // then dropped and the search fails back) or when the budget ran out.
    std::uint32_t next_open_candidate(std::size_t at) {
        Choice& c = choices_[at];
        const std::uint32_t list = pattern_.leaves[pattern_.nodes[c.node].leaf].list;
        const CandidateIndex& candidates = index(list);
        while (true) {
            const std::uint32_t position = candidates.next(c.position, c.a, c.b);
            if (position == none) {
                choices_.pop_back();
                action_ = Action::Fail;
                return none;
            }
            c.position = position + 1;
            if (!count_step()) return none;
            const std::uint32_t record = lists_[list][position];
            if (uses_[record] < records_[record].count) return position;
        }
    }

    std::uint32_t record_at(const Choice& c, std::uint32_t position) const {
        return lists_[pattern_.leaves[pattern_.nodes[c.node].leaf].list][position];
    }

    void try_leaf(std::size_t at) {
        const std::uint32_t position = next_open_candidate(at);
        if (position == none) return;
        const Choice& c = choices_[at];
        const std::uint32_t record = record_at(c, position);
        bind(pattern_.nodes[c.node].leaf, record, 1, c.env);
        summary_ = {records_[record].first, records_[record].last};
        continue_with_ = c.next;
        action_ = Action::Return;
    }

    void runs() {
        Choice& c = push_choice(ChoiceKind::Run, runs_leaf_, runs_next_, runs_env_);
        c.position = runs_from_;
        c.remaining = runs_remaining_;
        c.accumulated = runs_accumulated_;
        bounds(c.env, c.a, c.b);
        next_run_record(choices_.size() - 1);
    }

    // Finds the next record that can take copies and binds the longest run it allows.
    void next_run_record(std::size_t at) {
        const std::uint32_t position = next_open_candidate(at);
        if (position == none) return;
        Choice& c = choices_[at];
        const std::uint32_t record = record_at(c, position);
        c.record_position = position;
        c.length = std::min<std::uint64_t>(c.remaining, records_[record].count - uses_[record]);
        bind_run(at);
    }

    void bind_run(std::size_t at) {
        const Choice& c = choices_[at];
        const std::uint32_t record = record_at(c, c.record_position);
        bind(pattern_.nodes[c.node].leaf, record, c.length, c.env);
        const Summary summary = combine(c.accumulated, {records_[record].first, records_[record].last});
        if (c.remaining == c.length) {
            summary_ = summary;
            continue_with_ = c.next;
            action_ = Action::Return;
            return;
        }
        runs_leaf_ = c.node;
        runs_env_ = c.env;
        runs_remaining_ = c.remaining - c.length;
        runs_from_ = c.record_position + 1;
        runs_accumulated_ = summary;
        runs_next_ = c.next;
        action_ = Action::Runs;
    }

    void backtrack() {
        if (choices_.empty()) {
            action_ = Action::Exhausted;
            return;
        }
        const std::size_t at = choices_.size() - 1;
        Choice& c = choices_[at];
        restore(c);
        switch (c.kind) {
            case ChoiceKind::Leaf: try_leaf(at); return;
            case ChoiceKind::Or: {
                const PatternNode& n = pattern_.nodes[c.node];
                visit_node_ = n.right;
                visit_env_ = c.env;
                visit_next_ = c.next;
                choices_.pop_back();
                log_.push_back({1, 1});
                action_ = Action::Visit;
                return;
            }
            case ChoiceKind::Run:
                if (c.length > 1) {
                    --c.length;
                    if (!count_step()) return;
                    bind_run(at);
                } else {
                    next_run_record(at);
                }
                return;
        }
    }

    void resume() {
        const Goal goal = goals_[continue_with_];
        switch (goal.kind) {
            case GoalKind::Success: action_ = Action::Success; return;
            case GoalKind::Join:
                summary_ = combine(goal.saved, summary_);
                continue_with_ = goal.next;
                return;
            case GoalKind::AndRight:
            case GoalKind::FollowedByRight: {
                Goal join(GoalKind::Join);
                join.saved = summary_;
                join.next = goal.next;
                visit_next_ = push_goal(join);
                visit_env_ = goal.env;
                if (goal.kind == GoalKind::FollowedByRight) {
                    visit_env_.min_last = std::max(visit_env_.min_last, summary_.first);
                }
                visit_node_ = goal.node;
                action_ = Action::Visit;
                return;
            }
            case GoalKind::CopyDone: copy_done(goal); return;
        }
    }

    // One copy of a repetition is complete: keep copies in canonical (non-decreasing) order.
    void copy_done(const Goal& goal) {
        const auto end = static_cast<std::uint32_t>(log_.size());
        if (goal.copy > 1 && compare_decisions(goal.log_start, end, goal.previous_start, goal.previous_end) < 0) {
            action_ = Action::Fail;
            return;
        }
        const Summary accumulated = combine(goal.saved, summary_);
        const PatternNode& n = pattern_.nodes[goal.node];
        if (goal.copy == n.repeat) {
            summary_ = accumulated;
            continue_with_ = goal.next;
            return;
        }
        Goal next = goal;
        next.copy = goal.copy + 1;
        next.saved = accumulated;
        next.previous_start = goal.log_start;
        next.previous_end = end;
        next.log_start = end;
        visit_next_ = push_goal(next);
        visit_env_ = goal.env;
        visit_node_ = n.left;
        action_ = Action::Visit;
    }

    // Lexicographic order of two stretches of the decision log, runs expanded.
    int compare_decisions(std::uint32_t a, std::uint32_t a_end, std::uint32_t b, std::uint32_t b_end) const {
        std::uint64_t a_left = a < a_end ? log_[a].count : 0, b_left = b < b_end ? log_[b].count : 0;
        while (a < a_end && b < b_end) {
            if (log_[a].value != log_[b].value) return log_[a].value < log_[b].value ? -1 : 1;
            const std::uint64_t take = std::min(a_left, b_left);
            a_left -= take;
            b_left -= take;
            if (a_left == 0 && ++a < a_end) a_left = log_[a].count;
            if (b_left == 0 && ++b < b_end) b_left = log_[b].count;
        }
        if (a >= a_end && b >= b_end) return 0;
        return a >= a_end ? -1 : 1;
    }

    std::vector<BindingEntry> binding() const {
        std::vector<BindingEntry> entries;
        for (const BindingEntry& slot : slots_) {
            if (!entries.empty() && entries.back().leaf == slot.leaf && entries.back().record == slot.record) {
                entries.back().count += slot.count;
            } else {
                entries.push_back(slot);
            }
        }
        return entries;
    }

    const CompiledPattern& pattern_;
    const Records& records_;
    const CandidateLists& lists_;
    const std::uint64_t max_steps_;
    std::vector<std::uint64_t> uses_;
    std::vector<std::unique_ptr<CandidateIndex>> indexes_;
    std::vector<bool> possible_, capacity_ok_;
    std::vector<std::uint64_t> min_slots_;
    std::vector<Instant> max_last_;

    std::vector<Goal> goals_;
    std::vector<Choice> choices_;
    std::vector<Undo> undo_;
    std::vector<Decision> log_;
    std::vector<BindingEntry> slots_;
    std::vector<Scope> scopes_;
    std::uint64_t steps_ = 0, work_ = 0;

    Action action_ = Action::Visit;
    std::uint32_t visit_node_ = 0, visit_next_ = 0;
    Env visit_env_;
    std::uint32_t continue_with_ = 0;
    Summary summary_;
    std::uint32_t runs_leaf_ = 0, runs_from_ = 0, runs_next_ = 0;
    Env runs_env_;
    std::uint64_t runs_remaining_ = 0;
    Summary runs_accumulated_;
};

}  // namespace

SearchOutcome search(const CompiledPattern& pattern, const ObservationSet& set, const CandidateLists& lists,
                     std::uint64_t max_steps) {
    return Machine(pattern, set, lists, max_steps).run();
}

}  // namespace quarnel::match
