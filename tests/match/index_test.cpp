// The pattern index: which observations a record reaches through its keys, and results
// equal to matching each pattern alone.
#include <gtest/gtest.h>

#include <random>

#include "match/index.hpp"
#include "support.hpp"

namespace quarnel::match::testing {
namespace {

std::shared_ptr<const CompiledPattern> compiled(const std::string& text) {
    auto tree = parser::parse_pattern(text);
    EXPECT_TRUE(tree.ok()) << text;
    auto pattern = compile(tree.value());
    EXPECT_TRUE(pattern.ok()) << text;
    return std::make_shared<const CompiledPattern>(std::move(pattern).value());
}

ObservationSet loaded(const std::string& data) {
    const std::string_view texts[] = {data};
    auto set = load(texts);
    EXPECT_TRUE(set.ok()) << set.error().message;
    return std::move(set).value();
}

struct KeyCase {
    std::string pattern;
    std::string object;
    bool hit;  // the record reaches the pattern's observation through a key
    bool matched;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.pattern << " on " << c.object; }

class IndexKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(IndexKeys, ReachOnlyObservationsTheRecordMaySatisfy) {
    const KeyCase& c = GetParam();
    PatternIndex index;
    index.add(compiled(c.pattern));
    index.add(compiled("[ipv4-addr:value = '10.0.0.1']"));
    const auto outcome = index.match(loaded(array({record(one(c.object), 0)})));
    EXPECT_EQ(outcome.evaluated, c.hit ? 1u : 0u);
    EXPECT_EQ(outcome.hits.size(), c.matched ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Keys, IndexKeys, ::testing::Values(
    KeyCase{"[file:hashes.MD5 = 'AA']", R"({"type":"file","hashes":{"MD5":"AA"},"name":"x.dll"})", true, true},
    KeyCase{"[file:name LIKE '%.exe']", R"({"type":"file","hashes":{"MD5":"AA"},"name":"x.dll"})", true, false},
    KeyCase{"[file:hashes.MD5 = 'AB']", R"({"type":"file","hashes":{"MD5":"AA"}})", false, false},
    KeyCase{"[x:v = 1]", R"({"type":"x","v":1.0})", true, true},
    KeyCase{"[x:v = 1.5]", R"({"type":"x","v":1.5})", true, true},
    KeyCase{"[x:v = -0.0]", R"({"type":"x","v":0})", true, true},
    KeyCase{"[x:v = h'41']", R"({"type":"x","v":"A"})", true, true},
    KeyCase{"[x:v_hex = 'A']", R"({"type":"x","v_hex":"41"})", true, true},
    KeyCase{"[x:v = '\xc4\x83']", R"({"type":"x","v":"\u0103"})", true, true},
    KeyCase{"[x:v = true]", R"({"type":"x","v":1})", false, false},
    KeyCase{"[x:t = t'2020-01-01T00:00:00Z']", R"({"type":"x","t":"2020-01-01T00:00:00.000Z"})", true, true},
    KeyCase{"[x:t = t'2020-01-01T00:00:00Z']", R"({"type":"x","t":"2020-01-01"})", false, false},
    KeyCase{"[x:v IN (1, 2)]", R"({"type":"x","v":2})", true, true},
    KeyCase{"[x:v = 1 AND x:w LIKE 'a%']", R"({"type":"x","v":2,"w":"ab"})", false, false},
    KeyCase{"[x:v = 1 OR x:w LIKE 'a%']", R"({"type":"x","v":2,"w":"ab"})", true, true},
    KeyCase{"[x:v != 1]", R"({"type":"x","v":2})", true, true},
    KeyCase{"[x:items[*] = 'b']", R"({"type":"x","items":["a","b"]})", true, true},
    KeyCase{"[y:v = 1]", R"({"type":"x","v":1})", false, false}));

// Patterns of every shape against mixed data: the index gives each the lenient result.
TEST(Index, AgreesWithMatchingEachPatternAlone) {
    std::mt19937 random(7);
    const auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    std::vector<std::string> records;
    for (int i = 0; i < 60; ++i) {
        const std::string type = below(2) ? "a" : "b";
        records.push_back(record(one(R"({"type":")" + type + R"(","v":)" + std::to_string(below(4)) +
                                     R"(,"s":")" + std::string(1, static_cast<char>('p' + below(3))) +
                                     R"(","t":")" + (below(5) ? at(below(100)) : "bad") + "\"}"),
                                 i, i + below(3), 1 + below(2)));
    }
    const ObservationSet set = loaded(array(records));
    const std::vector<std::string> texts = {
        "[a:v = 1]", "[b:v = 3] AND [a:v = 0]", "[a:v = 2] FOLLOWEDBY [b:v = 2]", "[a:v IN (1, 3) AND a:s = 'q']",
        "[a:s LIKE 'p%'] REPEATS 3 TIMES WITHIN 5 SECONDS", "[b:v > 2 OR a:v = 9]", "[a:t = t'2020-01-01T00:00:07Z']",
        "([a:v = 0] OR [b:s = 'r']) REPEATS 2 TIMES", "[a:v NOT = 1] START t'2020-01-01T00:00:30Z' STOP t'2020-01-01T00:01:00Z'",
        "[c:v = 1]", "[a:v = 5]", "([a:v = 3] AND [b:v = 3] AND [a:v = 3]) WITHIN 10 SECONDS",
        "[a:t > t'2020-01-01T00:00:50Z'] FOLLOWEDBY [b:v = 1]", "[b:s = 'p' AND b:v = 0] REPEATS 2 TIMES"};
    PatternIndex index;
    std::vector<std::shared_ptr<const CompiledPattern>> patterns;
    for (const std::string& text : texts) {
        patterns.push_back(compiled(text));
        index.add(patterns.back());
    }
    const auto outcome = index.match(set);
    EXPECT_TRUE(outcome.failures.empty());
    MatchOptions lenient;
    lenient.value_errors = ValueErrors::Lenient;
    std::size_t next_hit = 0;
    for (std::uint32_t p = 0; p < patterns.size(); ++p) {
        const auto alone = match(*patterns[p], set, lenient);
        ASSERT_TRUE(alone.ok());
        const bool hit = next_hit < outcome.hits.size() && outcome.hits[next_hit].pattern == p;
        EXPECT_EQ(hit, alone.value().matched) << texts[p];
        if (hit) {
            EXPECT_EQ(outcome.hits[next_hit].result.binding, alone.value().binding) << texts[p];
            EXPECT_EQ(outcome.hits[next_hit].result.observed_data, alone.value().observed_data) << texts[p];
            ++next_hit;
        }
    }
}

}  // namespace
}  // namespace quarnel::match::testing
