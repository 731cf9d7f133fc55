#include "tools/canonical.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "parser/builder.hpp"

namespace quarnel::tools {
namespace {

ast::PatternExpr parsed(const std::string& text) {
    auto result = parser::parse_pattern(text);
    if (!result.ok()) {
        ADD_FAILURE() << "rejected: " << text;
        return {};
    }
    return std::move(result).value();
}

struct CanonicalCase {
    std::string pattern;
    std::string canonical;
};

class CanonicalTextTest : public testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalTextTest, WritesOneSpellingThatReadsBackAsTheSameTree) {
    const ast::PatternExpr tree = parsed(GetParam().pattern);
    const std::string text = canonical_text(tree);
    EXPECT_EQ(text, GetParam().canonical);
    EXPECT_EQ(parsed(text), tree) << text;
    EXPECT_EQ(canonical_text(parsed(text)), text);
}

INSTANTIATE_TEST_SUITE_P(
    Spelling, CanonicalTextTest,
    testing::Values(
        CanonicalCase{"[ file:name='x' ]", "[file:name = 'x']"},
        CanonicalCase{"[file:hashes.'SHA-256' = h'aB']", "[file:hashes.'SHA-256' = h'aB']"},
        CanonicalCase{"[a:'plain'[007].x[*] NOT IN (1,2.50,true)]", "[a:plain[7].x[*] NOT IN (1, 2.5, true)]"},
        CanonicalCase{"[a:b = 5.0]", "[a:b = 5.0]"},
        CanonicalCase{"[a:b = -0.0]", "[a:b = -0.0]"},
        CanonicalCase{"[a:b = 0.000001]", "[a:b = 0.000001]"},
        CanonicalCase{"[a:b = " + std::string(400, '9') + ".0]", "[a:b = 1" + std::string(309, '0') + ".0]"},
        CanonicalCase{"[EXISTSa:b]", "[EXISTS a:b]"},
        CanonicalCase{"[a:b = b'QUJD']", "[a:b = b'QUJD']"},
        CanonicalCase{R"([a:b = 'it\'s \\ \q'])", R"([a:b = 'it\'s \\ \\q'])"},
        CanonicalCase{"[a:b = 'x\\ty\\nz']", "[a:b = 'x\\ty\\nz']"},
        // at the ends, escapes would read as spacing: the characters stay raw
        CanonicalCase{"[a:b = '\tx\t']", "[a:b = '\tx\t']"},
        CanonicalCase{"[a:b = t'2020-01-01T00:00:00-05:00']", "[a:b = t'2020-01-01T05:00:00Z']"},
        CanonicalCase{"[a:b = t'2016-12-31T23:59:60Z']", "[a:b = t'2016-12-31T23:59:60Z']"},
        CanonicalCase{"[a:b = t'9999-12-31T23:00:00-05:00']", "[a:b = t'9999-12-31T04:01:00-23:59']"},
        CanonicalCase{"[a:b = t'0000-01-01T00:00:00+01:00']", "[a:b = t'0000-01-01T22:59:00+23:59']"},
        CanonicalCase{"[a:b = t'2020-01-01T00:00:00.5+01:30']", "[a:b = t'2019-12-31T22:30:00.5Z']"},
        CanonicalCase{"[a:b = 1] WITHIN 5.0 SECONDS", "[a:b = 1] WITHIN 5 SECONDS"},
        CanonicalCase{"[a:b = 1] WITHIN 2.5 SECONDS REPEATS 3 TIMES", "[a:b = 1] REPEATS 3 TIMES WITHIN 2.5 SECONDS"},
        CanonicalCase{"([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS", "([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS"},
        CanonicalCase{"([a:b = 1] OR [c:d = 2]) START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
                      "([a:b = 1] OR [c:d = 2]) START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'"},
        CanonicalCase{"(([a:b = 1]))", "[a:b = 1]"}));

INSTANTIATE_TEST_SUITE_P(
    Grouping, CanonicalTextTest,
    testing::Values(
        // the left fold groups the OR first; precedence would group the AND first
        CanonicalCase{"[a:b = 1] OR [c:d = 2] AND [e:f = 3]", "([a:b = 1] OR [c:d = 2]) AND [e:f = 3]"},
        CanonicalCase{"[a:b = 1] AND [c:d = 2] OR [e:f = 3]", "[a:b = 1] AND [c:d = 2] OR [e:f = 3]"},
        CanonicalCase{"[a:b = 1] FOLLOWEDBY [c:d = 2] OR [e:f = 3]", "([a:b = 1] FOLLOWEDBY [c:d = 2]) OR [e:f = 3]"},
        CanonicalCase{"[a:b = 1] AND [c:d = 2] FOLLOWEDBY [e:f = 3]", "[a:b = 1] AND [c:d = 2] FOLLOWEDBY [e:f = 3]"},
        CanonicalCase{"[a:b = 1] OR ([c:d = 2] OR [e:f = 3])", "[a:b = 1] OR ([c:d = 2] OR [e:f = 3])"},
        CanonicalCase{"[a:b = 1] OR [c:d = 2] AND [e:f = 3] OR [g:h = 4] AND [i:j = 5]",
                      "(([a:b = 1] OR [c:d = 2]) AND [e:f = 3] OR [g:h = 4]) AND [i:j = 5]"},
        CanonicalCase{"[a:b = 1 OR c:d = 2 AND e:f = 3]", "[(a:b = 1 OR c:d = 2) AND e:f = 3]"},
        CanonicalCase{"[a:b = 1 AND (c:d = 2 OR e:f = 3)]", "[a:b = 1 AND (c:d = 2 OR e:f = 3)]"},
        CanonicalCase{"[(a:b = 1 AND c:d = 2) OR e:f = 3]", "[a:b = 1 AND c:d = 2 OR e:f = 3]"}));

TEST(CanonicalText, RoundTripsTheBenchmarkCorpus) {
    std::ifstream corpus(QUARNEL_SOURCE_DIR "/bench/corpus.txt");
    ASSERT_TRUE(corpus);
    int count = 0;
    for (std::string line; std::getline(corpus, line);) {
        const auto result = parser::parse_pattern(line);
        if (!result.ok()) {
            continue;
        }
        const std::string text = canonical_text(result.value());
        EXPECT_EQ(parsed(text), result.value()) << line << "\n" << text;
        EXPECT_EQ(canonical_text(parsed(text)), text) << text;
        ++count;
    }
    EXPECT_GT(count, 200);
}

std::string alternating_chain(int operands) {
    std::string text = "[a:b = 0]";
    for (int i = 1; i < operands; ++i) {
        text += (i % 2 != 0 ? " OR " : " AND ") + std::string("[a:b = ") + std::to_string(i) + "]";
    }
    return text;
}

TEST(CanonicalText, RefusesParenthesesDeeperThanTheParserAccepts) {
    // every second operator needs one more parenthesis around everything before it
    EXPECT_NO_THROW(canonical_text(parsed(alternating_chain(200))));
    EXPECT_THROW(canonical_text(parsed(alternating_chain(1000))), NoCanonicalText);
}

TEST(CanonicalText, WritesLongChainsOfOneOperatorWithoutParentheses) {
    std::string text = "[a:b = 0]";
    for (int i = 1; i < 200'000; ++i) {
        text += " AND [a:b = 0]";
    }
    EXPECT_EQ(canonical_text(parsed(text)), text);
}

TEST(CanonicalText, WritesNestingAtTheParserBound) {
    const std::string text = std::string(255, '(') + "[a:b = 1] OR [c:d = 2]" + std::string(255, ')');
    EXPECT_EQ(canonical_text(parsed(text)), "[a:b = 1] OR [c:d = 2]");
    const std::string nested = "[" + std::string(254, '(') + "a:b = 1 OR (c:d = 2 AND e:f = 3)" + std::string(254, ')') + "]";
    EXPECT_EQ(canonical_text(parsed(nested)), "[a:b = 1 OR (c:d = 2 AND e:f = 3)]");
}

}  // namespace
}  // namespace quarnel::tools
