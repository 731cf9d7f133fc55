// The binding search: step counts, the budget, large repetitions without deep recursion,
// static feasibility, and adversarial shapes that must end within the budget.
#include <gtest/gtest.h>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

std::string person(const char* name, int age) {
    return one(std::string(R"({"type":"person","name":")") + name + "\",\"age\":" + std::to_string(age) + "}");
}

const std::string data_s = array({record(person("alice", 10), 0), record(person("bob", 17), 5),
                                  record(person("carol", 22), 10)});
const std::string data_r = array({record(person("alice", 10), 0, 0, 2), record(person("bob", 17), 3, 3, 3),
                                  record(person("carol", 22), 4, 4, 2)});

// Records a{x:1}, `spacing` seconds apart (from 40000 s on, so that negative spacing works).
std::string a_records(int count, int spacing, int instances = 1, const char* object = R"({"type":"a","x":1})") {
    std::vector<std::string> records;
    for (int i = 0; i < count; ++i) {
        const int t = 40000 + i * spacing;
        records.push_back(record(one(object), t, t, instances));
    }
    return array(records);
}

// Every b record before every a record.
std::string b_then_a(int count) {
    std::vector<std::string> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(record(one(R"({"type":"a","x":1})"), 40000 + i));
        records.push_back(record(one(R"({"type":"b","y":1})"), 20000 + i));
    }
    return array(records);
}

MatchOptions budget(std::uint64_t steps) {
    MatchOptions options;
    options.max_search_steps = steps;
    return options;
}

std::string chain(const std::string& leaf, const std::string& op, int count) {
    std::string out = leaf;
    for (int i = 1; i < count; ++i) out += " " + op + " " + leaf;
    return out;
}

struct Case {
    std::string name;
    std::string data;
    std::string pattern;
    std::uint64_t max_steps;
    std::string verdict;
    std::vector<BindingEntry> binding = {};
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Search : public ::testing::TestWithParam<Case> {};

TEST_P(Search, EndsWithinItsBudget) {
    const Case& c = GetParam();
    const Outcome out = run(c.pattern, c.data, budget(c.max_steps));
    EXPECT_EQ(out.verdict, c.verdict) << out.message;
    if (!c.binding.empty()) {
        EXPECT_EQ(out.binding, c.binding);
    }
}

std::string big_records(int count) {
    std::vector<std::string> records;
    for (int i = 0; i < count; ++i) records.push_back(record(one(R"({"type":"a","x":1})"), i, i, 999'999'999));
    return array(records);
}

std::string set_packing(const std::vector<std::vector<int>>& sets, int q) {
    std::string groups;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        std::string group;
        for (const int e : sets[s]) group += (group.empty() ? "" : " AND ") + std::string("[x:id = 'e") + std::to_string(e) + "']";
        groups += (s ? " OR (" : "(") + group + ")";
    }
    return "(" + groups + ") REPEATS " + std::to_string(q) + " TIMES";
}

std::string elements(int count) {
    std::vector<std::string> records;
    for (int e = 1; e <= count; ++e) records.push_back(record(one(R"({"type":"x","id":"e)" + std::to_string(e) + "\"}"), 0));
    return array(records);
}

std::string ages(int count) {
    std::vector<std::string> records;
    for (int i = 0; i < count; ++i) records.push_back(record(person("p", i), i));
    return array(records);
}

INSTANTIATE_TEST_SUITE_P(Budgets, Search, ::testing::Values(
    Case{"bob then two more, in four steps", data_s,
         "[person:name = 'bob'] FOLLOWEDBY [person:name < 'elizabeth'] AND [person:age < 15]", 4, "match 0,1,2",
         {{0, 1, 1}, {1, 2, 1}, {2, 0, 1}}},
    Case{"bob then two more, over budget", data_s,
         "[person:name = 'bob'] FOLLOWEDBY [person:name < 'elizabeth'] AND [person:age < 15]", 3,
         "error SearchLimit"},
    Case{"five in one second, in runs", data_r, "[person:name > 'aaron'] REPEATS 5 TIMES WITHIN 1 SECONDS", 7, "match 1,2",
         {{0, 1, 3}, {0, 2, 2}}},
    Case{"five in one second, over budget", data_r, "[person:name > 'aaron'] REPEATS 5 TIMES WITHIN 1 SECONDS", 3,
         "error SearchLimit"},
    Case{"one step per entry", a_records(3, 5), "[a:x = 1] FOLLOWEDBY [a:x = 1] FOLLOWEDBY [a:x = 1]", 2,
         "error SearchLimit"},
    Case{"a million copies in one run", a_records(1, 1, 999'999), "[a:x = 1] REPEATS 999999 TIMES", 5, "match 0",
         {{0, 0, 999'999}}},
    Case{"the largest count", big_records(5), "[a:x = 1] REPEATS 4294967295 TIMES", 5, "match 0,1,2,3,4",
         {{0, 0, 999'999'999}, {0, 1, 999'999'999}, {0, 2, 999'999'999}, {0, 3, 999'999'999}, {0, 4, 294'967'299}}},
    Case{"the largest count, too few", big_records(4), "[a:x = 1] REPEATS 4294967295 TIMES", 0, "no match"},
    Case{"nested large counts", big_records(1), "([a:x = 1] REPEATS 4294967295 TIMES) REPEATS 4294967295 TIMES", 0,
         "no match"},
    Case{"twelve leaves, eleven instances", a_records(11, 1), chain("[a:x = 1]", "AND", 12), 0, "no match"},
    Case{"impossible leaf", a_records(20, 1), chain("[a:x = 1]", "AND", 30) + " AND [b:y = 1]", 0, "no match"},
    Case{"windows of one", a_records(1000, 2), "([a:x = 1] AND [a:x = 1] AND [a:x = 1]) WITHIN 1 SECONDS", 100000,
         "no match"},
    Case{"ten in nine seconds", ages(20), "[person:age < 20] REPEATS 10 TIMES WITHIN 9 SECONDS", 100000,
         "match 0,1,2,3,4,5,6,7,8,9"},
    Case{"ten in eight seconds", ages(20), "[person:age < 20] REPEATS 10 TIMES WITHIN 8 SECONDS", 100000, "no match"},
    Case{"ten leaves", ages(20), chain("[person:age < 20]", "AND", 10), 1000, "match 0,1,2,3,4,5,6,7,8,9"},
    Case{"ordered pairs repeated", ages(20), "([person:age < 20] FOLLOWEDBY [person:age > 5]) REPEATS 10 TIMES",
         100000, "match 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19"},
    Case{"set packing, two", elements(4), set_packing({{1, 2}, {2, 3}, {3, 4}}, 2), 100000, "match 0,1,2,3"},
    Case{"set packing, three", elements(4), set_packing({{1, 2}, {2, 3}, {3, 4}}, 3), 100000, "no match"},
    Case{"an OR chain", a_records(1, 1), chain("[a:x = 2]", "OR", 20000) + " OR [a:x = 1]", 10, "match 0"},
    Case{"an AND chain", a_records(1, 1, 20000), chain("[a:x = 1]", "AND", 20000), 20000, "match 0"},
    Case{"a FOLLOWEDBY chain", a_records(1, 1, 5000), chain("[a:x = 1]", "FOLLOWEDBY", 5000), 5000, "match 0"}));

// Adversarial shapes: each ends with an answer or SearchLimit within the default budget.
INSTANTIATE_TEST_SUITE_P(Adversarial, Search, ::testing::Values(
    Case{"arrangements before a missing leaf", a_records(12, 1), chain("[a:x = 1]", "AND", 11) + " AND [a:x = 2]",
         10'000'000, "no match"},
    Case{"more slots than instances", a_records(12, 0), chain("[a:x = 1]", "AND", 13), 10'000'000, "no match"},
    Case{"followed by, reversed", a_records(2000, -1), "[a:x = 1] FOLLOWEDBY [a:x = 1] FOLLOWEDBY [a:x = 1]",
         20, "match 0,1,2", {{0, 2, 1}, {1, 1, 1}, {2, 0, 1}}},
    Case{"followed by, wrong order", b_then_a(5000), "[a:x = 1] FOLLOWEDBY [b:y = 1]", 10, "no match"},
    Case{"three followed by, wrong order", b_then_a(5000), "[a:x = 1] FOLLOWEDBY [a:x = 1] FOLLOWEDBY [b:y = 1]", 10,
         "no match"},
    Case{"within, far apart", b_then_a(5000), "([a:x = 1] AND [b:y = 1]) WITHIN 60 SECONDS", 20000, "no match"},
    Case{"repeats just outside every window", a_records(2000, 2), "[a:x = 1] REPEATS 3 TIMES WITHIN 3 SECONDS",
         10'000'000, "no match"}));

TEST(Search, WorkSurvivesManyBacktracksWithoutAStepLimitTrip) {
    // Nested repetitions backtrack through copies; the budget ends it either way.
    const Outcome out = run("(([a:x = 1] AND [a:x = 1]) REPEATS 40 TIMES) REPEATS 2 TIMES", a_records(100, 1),
                            budget(200000));
    EXPECT_TRUE(out.verdict == "error SearchLimit" || out.verdict == "no match") << out.verdict;
}

}  // namespace
}  // namespace quarnel::match::testing
