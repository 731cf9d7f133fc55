// The search against a brute-force oracle: on tiny random data and patterns, every binding
// is enumerated from the definitions, the canonical first one is picked, and the search
// must report exactly that one.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

struct Binding {
    std::vector<std::uint32_t> decisions;
    std::vector<BindingEntry> slots;  // one per slot, in walk order
    Instant first = instant_min, last = instant_max;
};

Binding joined(const Binding& a, const Binding& b) {
    Binding out = a;
    out.decisions.insert(out.decisions.end(), b.decisions.begin(), b.decisions.end());
    out.slots.insert(out.slots.end(), b.slots.begin(), b.slots.end());
    out.first = std::max(a.first, b.first);
    out.last = std::min(a.last, b.last);
    return out;
}

class Oracle {
public:
    Oracle(const CompiledPattern& p, const ObservationSet& set, const CandidateLists& lists)
        : p_(p), records_(set.records()), lists_(lists) {}

    std::optional<std::vector<BindingEntry>> first() const {
        std::optional<Binding> best;
        for (const Binding& b : all(p_.root())) {
            if (!fits_capacity(b)) continue;
            if (!best || b.decisions < best->decisions) best = b;
        }
        if (!best) return std::nullopt;
        std::vector<BindingEntry> merged;
        for (const BindingEntry& s : best->slots) {
            if (!merged.empty() && merged.back().leaf == s.leaf && merged.back().record == s.record) {
                merged.back().count += s.count;
            } else {
                merged.push_back(s);
            }
        }
        return merged;
    }

private:
    bool fits_capacity(const Binding& b) const {
        std::vector<std::uint64_t> uses(records_.size());
        for (const BindingEntry& s : b.slots) {
            if (++uses[s.record] > records_[s.record].count) return false;
        }
        return true;
    }

    std::vector<Binding> all(std::uint32_t at) const {
        const PatternNode& n = p_.nodes[at];
        std::vector<Binding> out;
        switch (n.kind) {
            case PatternNode::Kind::Leaf:
                for (const std::uint32_t r : lists_[p_.leaves[n.leaf].list]) {
                    out.push_back({{r}, {{n.leaf, r, 1}}, records_[r].first, records_[r].last});
                }
                break;
            case PatternNode::Kind::Or:
                for (Binding b : all(n.left)) {
                    b.decisions.insert(b.decisions.begin(), 0);
                    out.push_back(b);
                }
                for (Binding b : all(n.right)) {
                    b.decisions.insert(b.decisions.begin(), 1);
                    out.push_back(b);
                }
                break;
            case PatternNode::Kind::And:
            case PatternNode::Kind::FollowedBy: {
                const auto right = all(n.right);
                for (const Binding& l : all(n.left)) {
                    for (const Binding& r : right) {
                        if (n.kind == PatternNode::Kind::FollowedBy && l.first > r.last) continue;
                        out.push_back(joined(l, r));
                    }
                }
                break;
            }
            case PatternNode::Kind::Qualified: {
                const auto operand = all(n.left);
                std::vector<std::pair<Binding, std::vector<std::uint32_t>>> partial{{Binding{}, {}}};
                for (std::uint32_t copy = 0; copy < n.repeat; ++copy) {
                    std::vector<std::pair<Binding, std::vector<std::uint32_t>>> next;
                    for (const auto& [b, previous] : partial) {
                        for (const Binding& o : operand) {
                            if (copy > 0 && o.decisions < previous) continue;  // canonical listing
                            next.push_back({joined(b, o), o.decisions});
                        }
                    }
                    partial = std::move(next);
                }
                for (auto& [b, unused] : partial) {
                    if (n.has_within && !n.within_always && b.first - b.last > n.limit_ns) continue;
                    out.push_back(std::move(b));
                }
                break;
            }
        }
        return out;
    }

    const CompiledPattern& p_;
    const Records& records_;
    const CandidateLists& lists_;
};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    std::string data() {
        std::vector<std::string> records;
        const int count = 1 + below(5);
        for (int i = 0; i < count; ++i) {
            const int first = below(6);
            const std::string type = below(2) ? "a" : "b";
            records.push_back(record(one(R"({"type":")" + type + "\",\"v\":" + std::to_string(below(3)) + "}"), first,
                                     first + below(3), 1 + below(2)));
        }
        return array(records);
    }

    // A pattern with at most `slots` slots in its smallest binding.
    std::string pattern(int depth, int& slots) {
        if (depth == 0 || slots <= 1 || below(10) < 3) {
            --slots;
            return leaf();
        }
        switch (below(4)) {
            case 0:
            case 1:
            case 2: {
                static const char* ops[] = {"AND", "OR", "FOLLOWEDBY"};
                const char* op = ops[below(3)];
                std::string left = pattern(depth - 1, slots);
                std::string right = pattern(depth - 1, slots);
                return "(" + left + " " + op + " " + right + ")";
            }
            default: {
                const int repeat = 1 + below(3);
                int inner = std::max(1, slots / repeat);
                const int before = inner;
                std::string operand = "(" + pattern(depth - 1, inner) + ")";
                slots -= (before - inner) * repeat;
                std::string q = operand;
                if (repeat > 1 || below(2)) q += " REPEATS " + std::to_string(repeat) + " TIMES";
                if (below(2)) q += " WITHIN " + std::to_string(below(4) + 1) + " SECONDS";
                if (below(4) == 0) q += " START t'" + at(below(4)) + "' STOP t'" + at(2 + below(6)) + "'";
                return q;
            }
        }
    }

private:
    std::string leaf() {
        static const char* leaves[] = {"[a:v = 1]", "[a:v > 0]", "[b:v = 2]", "[b:v < 2]",
                                       "[a:v = 0 OR b:v = 1]", "[a:v >= 0]"};
        return leaves[below(6)];
    }

    std::mt19937 random_;
};

class AgainstOracle : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(AgainstOracle, ReportsTheCanonicalFirstBinding) {
    Generator generate(GetParam());
    for (int round = 0; round < 400; ++round) {
        int slots = 6;
        const std::string text = generate.pattern(3, slots);
        const std::string data = generate.data();
        const auto tree = parser::parse_pattern(text);
        ASSERT_TRUE(tree.ok()) << text;
        const auto compiled = compile(tree.value());
        ASSERT_TRUE(compiled.ok()) << text;
        const std::string_view texts[] = {data};
        const auto set = load(texts);
        ASSERT_TRUE(set.ok()) << set.error().message;
        std::vector<Warning> warnings;
        Evaluator evaluator(compiled.value(), set.value(), MatchOptions{}, warnings);
        const auto lists = evaluator.phase1();
        ASSERT_TRUE(lists.has_value());
        const auto expected = Oracle(compiled.value(), set.value(), *lists).first();
        const auto result = match(compiled.value(), set.value());
        ASSERT_TRUE(result.ok()) << text;
        ASSERT_EQ(result.value().matched, expected.has_value()) << text << "\n" << data;
        if (expected) {
            EXPECT_EQ(result.value().binding, *expected) << text << "\n" << data;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, AgainstOracle, ::testing::Range(1u, 21u));

}  // namespace
}  // namespace quarnel::match::testing
