#include "parser/builder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "parser/stix_parser.hpp"
#include "support/small_stack.hpp"

namespace quarnel::parser {
namespace {

using namespace ast;

// --- small builders of expected trees ---

PathComponent step(std::string property, std::optional<PathIndex> index = std::nullopt) {
    return PathComponent{std::move(property), std::move(index)};
}

ObjectPath path(std::string object, std::vector<PathComponent> steps) {
    return ObjectPath{std::move(object), std::move(steps)};
}

Comparison comparison(ObjectPath object_path, ComparisonOp op, ComparisonRhs rhs, bool negated = false) {
    return Comparison{std::move(object_path), op, negated, std::move(rhs)};
}

StixValue str(std::string text) {
    return StixValue{std::move(text)};
}

StixValue integer(std::int64_t value) {
    return StixValue{value};
}

// `object:property = value`
ComparisonExpr eq(std::string object, std::string property, StixValue value) {
    return ComparisonExpr{
        comparison(path(std::move(object), {step(std::move(property))}), ComparisonOp::EQ, ComparisonRhs{std::move(value)})};
}

// `a:property = value`, the operand of most folding cases.
ComparisonExpr a(std::string property, std::int64_t value) {
    return eq("a", std::move(property), integer(value));
}

ComparisonExpr both(ComparisonExpr left, BooleanOp op, ComparisonExpr right) {
    return ComparisonExpr{CompositeComparison::new_(std::move(left), op, std::move(right))};
}

PatternExpr observe(ComparisonExpr inside) {
    return PatternExpr{std::move(inside)};
}

PatternExpr obs(std::string property, std::int64_t value) {
    return observe(a(std::move(property), value));
}

PatternExpr join(PatternExpr left, ObservationOp op, PatternExpr right) {
    return PatternExpr{CompositePattern::new_(std::move(left), op, std::move(right))};
}

struct Qualifiers {
    std::optional<std::uint32_t> repeat = std::nullopt;
    std::optional<double> within = std::nullopt;
    std::optional<Timestamp> start = std::nullopt;
    std::optional<Timestamp> stop = std::nullopt;
};

PatternExpr qualified(PatternExpr inner, Qualifiers q) {
    return PatternExpr{
        QualifiedPattern(std::make_unique<PatternExpr>(std::move(inner)), q.repeat, q.within, q.start, q.stop)};
}

Timestamp utc(int y, unsigned m, unsigned d, std::int32_t seconds = 0, std::uint32_t nanoseconds = 0) {
    using namespace std::chrono;
    return Timestamp{year_month_day{year{y}, month{m}, day{d}}, seconds, nanoseconds};
}

constexpr auto AND = BooleanOp::AND;
constexpr auto OR = BooleanOp::OR;
constexpr auto OBS_AND = ObservationOp::AND;
constexpr auto OBS_OR = ObservationOp::OR;
constexpr auto FOLLOWEDBY = ObservationOp::FOLLOWEDBY;

// --- accepted patterns and the trees they give ---

// A build from the grammar's whole parse tree, which has the nodes that the run of
// parse_pattern leaves out: both shapes must give the same tree or message.
Result<PatternExpr> built_from_whole_tree(const std::string& text) {
    const auto tree = StixParser::parse(Rule::pattern, text);
    if (!tree.ok()) {
        return tree.error();
    }
    return parse_pair(*tree.value().top_level().begin());
}

struct Builds {
    std::string text;
    std::function<PatternExpr()> expected;
};
void PrintTo(const Builds& c, std::ostream* os) {
    *os << c.text;
}

class PatternBuilds : public testing::TestWithParam<Builds> {};

TEST_P(PatternBuilds, IntoTheExpectedTree) {
    const auto result = parse_pattern(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), GetParam().expected());
    const auto shared = parse_shared_pattern(GetParam().text);
    ASSERT_TRUE(shared.ok()) << shared.error().message();
    EXPECT_EQ(*shared.value(), GetParam().expected());
    const auto whole = built_from_whole_tree(GetParam().text);
    ASSERT_TRUE(whole.ok()) << whole.error().message();
    EXPECT_EQ(whole.value(), GetParam().expected());
}

INSTANTIATE_TEST_SUITE_P(
    FoldingInsideBrackets, PatternBuilds,
    testing::Values(
        Builds{"[a:b = 1 OR a:c = 2 AND a:d = 3]",
               [] { return observe(both(both(a("b", 1), OR, a("c", 2)), AND, a("d", 3))); }},
        Builds{"[a:b = 1 AND a:c = 2 OR a:d = 3]",
               [] { return observe(both(both(a("b", 1), AND, a("c", 2)), OR, a("d", 3))); }},
        Builds{"[a:b = 1 OR a:c = 2 OR a:d = 3 AND a:e = 4]",
               [] {
                   return observe(both(both(both(a("b", 1), OR, a("c", 2)), OR, a("d", 3)), AND, a("e", 4)));
               }},
        Builds{"[(a:b = 1 OR a:c = 2) AND a:d = 3]",
               [] { return observe(both(both(a("b", 1), OR, a("c", 2)), AND, a("d", 3))); }},
        Builds{"[(a:b = 1 OR a:c = 2 AND a:d = 3)]",
               [] { return observe(both(both(a("b", 1), OR, a("c", 2)), AND, a("d", 3))); }},
        Builds{"[(a:b = 1 AND a:c = 2 OR a:d = 3)]",
               [] { return observe(both(both(a("b", 1), AND, a("c", 2)), OR, a("d", 3))); }},
        Builds{"[a:b = 1 OR (a:c = 2 AND a:d = 3)]",
               [] { return observe(both(a("b", 1), OR, both(a("c", 2), AND, a("d", 3)))); }},
        Builds{"[a:b = 1 OR (a:c = 2) AND a:d = 3]",
               [] { return observe(both(both(a("b", 1), OR, a("c", 2)), AND, a("d", 3))); }},
        Builds{"[(a:b = 1)]", [] { return obs("b", 1); }},
        Builds{"[((a:b = 1))]", [] { return obs("b", 1); }},
        Builds{"[( a:b = 1 )]", [] { return obs("b", 1); }}));

INSTANTIATE_TEST_SUITE_P(
    FoldingBetweenObservations, PatternBuilds,
    testing::Values(
        Builds{"[a:b = 1]", [] { return obs("b", 1); }},
        Builds{"[a:b = 1] OR [a:c = 2] AND [a:d = 3]",
               [] { return join(join(obs("b", 1), OBS_OR, obs("c", 2)), OBS_AND, obs("d", 3)); }},
        Builds{"[a:b = 1] AND [a:c = 2] FOLLOWEDBY [a:d = 3]",
               [] { return join(join(obs("b", 1), OBS_AND, obs("c", 2)), FOLLOWEDBY, obs("d", 3)); }},
        Builds{"[a:b = 1] FOLLOWEDBY [a:c = 2] OR [a:d = 3]",
               [] { return join(join(obs("b", 1), FOLLOWEDBY, obs("c", 2)), OBS_OR, obs("d", 3)); }},
        Builds{"[a:b = 1] OR ([a:c = 2] AND [a:d = 3])",
               [] { return join(obs("b", 1), OBS_OR, join(obs("c", 2), OBS_AND, obs("d", 3))); }},
        Builds{"([a:b = 1] OR [a:c = 2]) AND [a:d = 3]",
               [] { return join(join(obs("b", 1), OBS_OR, obs("c", 2)), OBS_AND, obs("d", 3)); }},
        Builds{"([a:b = 1])", [] { return obs("b", 1); }},
        Builds{"(([a:b = 1]))", [] { return obs("b", 1); }},
        Builds{"  [a:b = 1]  ", [] { return obs("b", 1); }},
        Builds{"[a:b = 1 OR a:c = 2] AND [a:d = 3]",
               [] { return join(observe(both(a("b", 1), OR, a("c", 2))), OBS_AND, obs("d", 3)); }}));

INSTANTIATE_TEST_SUITE_P(
    Qualifiers, PatternBuilds,
    testing::Values(
        Builds{"[a:b = 1] REPEATS 5 TIMES", [] { return qualified(obs("b", 1), {.repeat = 5}); }},
        Builds{"[a:b = 1] REPEATS 0 TIMES", [] { return qualified(obs("b", 1), {.repeat = 0}); }},
        Builds{"[a:b = 1] REPEATS 4294967295 TIMES",
               [] { return qualified(obs("b", 1), {.repeat = 4294967295U}); }},
        Builds{"[a:b = 1] REPEATS 007 TIMES", [] { return qualified(obs("b", 1), {.repeat = 7}); }},
        Builds{"[a:b = 1] WITHIN 5 SECONDS", [] { return qualified(obs("b", 1), {.within = 5.0}); }},
        Builds{"[a:b = 1] WITHIN 2.5 SECONDS", [] { return qualified(obs("b", 1), {.within = 2.5}); }},
        Builds{"[a:b = 1] WITHIN 0 SECONDS", [] { return qualified(obs("b", 1), {.within = 0.0}); }},
        Builds{"[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'",
               [] {
                   return qualified(obs("b", 1), {.start = utc(2020, 1, 1), .stop = utc(2020, 1, 2)});
               }},
        // Taken as written: START after STOP is not checked.
        Builds{"[a:b = 1] START t'2021-01-01T00:00:00Z' STOP t'2020-01-01T00:00:00Z'",
               [] {
                   return qualified(obs("b", 1), {.start = utc(2021, 1, 1), .stop = utc(2020, 1, 1)});
               }},
        Builds{"[a:b = 1] START t'2016-01-01T00:00:00.5+01:00' STOP t'2016-12-31T23:59:60Z'",
               [] {
                   return qualified(obs("b", 1), {.start = utc(2015, 12, 31, 23 * 3600, 500'000'000),
                                                  .stop = utc(2016, 12, 31, 86399, 1'000'000'000)});
               }},
        // Several qualifiers after one operand merge into one QualifiedPattern; a repeated
        // kind keeps its last value.
        Builds{"[a:b = 1] REPEATS 2 TIMES REPEATS 3 TIMES", [] { return qualified(obs("b", 1), {.repeat = 3}); }},
        Builds{"[a:b = 1] WITHIN 5 SECONDS WITHIN 6.5 SECONDS",
               [] { return qualified(obs("b", 1), {.within = 6.5}); }},
        Builds{"[a:b = 1] REPEATS 2 TIMES WITHIN 10 SECONDS",
               [] { return qualified(obs("b", 1), {.repeat = 2, .within = 10.0}); }},
        Builds{"[a:b = 1] WITHIN 10 SECONDS REPEATS 2 TIMES",
               [] { return qualified(obs("b", 1), {.repeat = 2, .within = 10.0}); }},
        Builds{"[a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z' "
               "START t'2021-01-01T00:00:00Z' STOP t'2021-01-02T00:00:00Z'",
               [] {
                   return qualified(obs("b", 1), {.start = utc(2020, 1, 1), .stop = utc(2021, 1, 2)});
               }},
        Builds{"[a:b = 1] REPEATS 2 TIMES START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z' "
               "WITHIN 3 SECONDS REPEATS 4 TIMES",
               [] {
                   return qualified(obs("b", 1), {.repeat = 4, .within = 3.0, .start = utc(2020, 1, 1),
                                                  .stop = utc(2020, 1, 2)});
               }},
        // Binding: a qualifier belongs to the operand it follows.
        Builds{"[a:b = 1] AND [a:c = 2] WITHIN 5 SECONDS",
               [] { return join(obs("b", 1), OBS_AND, qualified(obs("c", 2), {.within = 5.0})); }},
        Builds{"[a:b = 1] WITHIN 5 SECONDS AND [a:c = 2]",
               [] { return join(qualified(obs("b", 1), {.within = 5.0}), OBS_AND, obs("c", 2)); }},
        Builds{"[a:b = 1] REPEATS 2 TIMES OR [a:c = 2] REPEATS 3 TIMES",
               [] {
                   return join(qualified(obs("b", 1), {.repeat = 2}), OBS_OR, qualified(obs("c", 2), {.repeat = 3}));
               }},
        Builds{"([a:b = 1] AND [a:c = 2]) WITHIN 5 SECONDS",
               [] { return qualified(join(obs("b", 1), OBS_AND, obs("c", 2)), {.within = 5.0}); }},
        Builds{"([a:b = 1] WITHIN 5 SECONDS AND [a:c = 2])",
               [] { return join(qualified(obs("b", 1), {.within = 5.0}), OBS_AND, obs("c", 2)); }},
        Builds{"[a:b = 1] OR ([a:c = 2] AND [a:d = 3]) REPEATS 2 TIMES",
               [] {
                   return join(obs("b", 1), OBS_OR, qualified(join(obs("c", 2), OBS_AND, obs("d", 3)), {.repeat = 2}));
               }},
        // Qualifiers on a group and inside it nest.
        Builds{"([a:b = 1] REPEATS 2 TIMES) WITHIN 5 SECONDS",
               [] { return qualified(qualified(obs("b", 1), {.repeat = 2}), {.within = 5.0}); }},
        Builds{"(([a:b = 1] REPEATS 2 TIMES) REPEATS 3 TIMES) REPEATS 4 TIMES",
               [] {
                   return qualified(qualified(qualified(obs("b", 1), {.repeat = 2}), {.repeat = 3}), {.repeat = 4});
               }}));

// --- comparisons, paths and constants ---

struct Compares {
    std::string text;
    std::function<Comparison()> expected;
};
void PrintTo(const Compares& c, std::ostream* os) {
    *os << c.text;
}

class ComparisonBuilds : public testing::TestWithParam<Compares> {};

TEST_P(ComparisonBuilds, IntoTheExpectedComparison) {
    const auto result = parse_pattern(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), observe(ComparisonExpr{GetParam().expected()}));
    const auto whole = built_from_whole_tree(GetParam().text);
    ASSERT_TRUE(whole.ok()) << whole.error().message();
    EXPECT_EQ(whole.value(), result.value());
}

// `x:y = value`
Comparison xy(StixValue value) {
    return comparison(path("x", {step("y")}), ComparisonOp::EQ, ComparisonRhs{std::move(value)});
}

Comparison xy_op(ComparisonOp op, StixValue value, bool negated = false) {
    return comparison(path("x", {step("y")}), op, ComparisonRhs{std::move(value)}, negated);
}

Comparison xy_time(Timestamp t) {
    return xy(StixValue{t});
}

constexpr double infinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Numbers, ComparisonBuilds,
    testing::Values(
        Compares{"[x:y = 9223372036854775807]", [] { return xy(integer(std::numeric_limits<std::int64_t>::max())); }},
        Compares{"[x:y = -9223372036854775808]", [] { return xy(integer(std::numeric_limits<std::int64_t>::min())); }},
        Compares{"[x:y = 007]", [] { return xy(integer(7)); }},
        Compares{"[x:y = -0]", [] { return xy(integer(0)); }},
        Compares{"[x:y = -12]", [] { return xy(integer(-12)); }},
        Compares{"[x:y = 1.5]", [] { return xy(StixValue{1.5}); }},
        Compares{"[x:y = -0.5]", [] { return xy(StixValue{-0.5}); }},
        Compares{"[x:y = 0.1]", [] { return xy(StixValue{0.1}); }},
        Compares{"[x:y = " + std::string(400, '9') + ".0]", [] { return xy(StixValue{infinity}); }},
        Compares{"[x:y = -" + std::string(400, '9') + ".0]", [] { return xy(StixValue{-infinity}); }},
        Compares{"[x:y = 0." + std::string(400, '0') + "1]", [] { return xy(StixValue{0.0}); }}));

INSTANTIATE_TEST_SUITE_P(
    OtherConstants, ComparisonBuilds,
    testing::Values(
        Compares{"[x:y = true]", [] { return xy(StixValue{true}); }},
        Compares{"[x:y = false]", [] { return xy(StixValue{false}); }},
        // Hex and base64 texts stay as written, undecoded.
        Compares{"[x:y = h'0aFF']", [] { return xy(StixValue{StixValue::Hex{"0aFF"}}); }},
        Compares{"[x:y = h'abc']", [] { return xy(StixValue{StixValue::Hex{"abc"}}); }},
        Compares{"[x:y = b'AQID']", [] { return xy(StixValue{StixValue::Binary{"AQID"}}); }},
        Compares{"[x:y = b'AAEC/+==']", [] { return xy(StixValue{StixValue::Binary{"AAEC/+=="}}); }},
        Compares{"[x:y = t'2020-01-01T00:00:00Z']", [] { return xy_time(utc(2020, 1, 1)); }},
        Compares{"[x:y = t'2020-01-01T00:00:00-05:00']", [] { return xy_time(utc(2020, 1, 1, 5 * 3600)); }},
        Compares{"[x:y = t'2016-01-01T00:00:00+01:00']", [] { return xy_time(utc(2015, 12, 31, 23 * 3600)); }},
        Compares{"[x:y = t'2020-01-01T00:00:00']", [] { return xy_time(utc(2020, 1, 1)); }},
        Compares{"[x:y = t'2016-01-01T00:00:00.123Z']", [] { return xy_time(utc(2016, 1, 1, 0, 123'000'000)); }},
        Compares{"[x:y = t'2016-12-31T23:59:60Z']", [] { return xy_time(utc(2016, 12, 31, 86399, 1'000'000'000)); }}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ComparisonBuilds,
    testing::Values(
        Compares{"[x:y = 'x']", [] { return xy(str("x")); }},
        Compares{"[x:y = '']", [] { return xy(str("")); }},
        // Every character between the quotes stays, spaces at both ends included.
        Compares{"[x:y = ' a b ']", [] { return xy(str(" a b ")); }},
        Compares{"[x:y = ' ']", [] { return xy(str(" ")); }},
        Compares{"[x:y = 'a  b']", [] { return xy(str("a  b")); }},
        Compares{"[x:y = 'a\\'b']", [] { return xy(str("a'b")); }},
        Compares{"[x:y = 'a\\\\']", [] { return xy(str("a\\")); }},
        Compares{"[x:y = 'a\\qb']", [] { return xy(str("a\\qb")); }},
        Compares{"[x:y = '\\tx\\ty\\t']", [] { return xy(str("\tx\ty\t")); }},
        Compares{"[x:y = '\\n\\r']", [] { return xy(str("\n\r")); }},
        // Long texts lie outside their node: escapes resolved there, or few enough bytes left to fit inside.
        Compares{"[x:y = 'a text \\'quoted\\' with \\\\ and \\q']", [] { return xy(str("a text 'quoted' with \\ and \\q")); }},
        Compares{"[x:y = '\\'\\'\\'\\'\\'\\'\\'\\'\\'\\'']", [] { return xy(str("''''''''''")); }},
        Compares{"[x:y = 'a text long enough to lie outside']", [] { return xy(str("a text long enough to lie outside")); }},
        Compares{"[x:y = 'caf\xC3\xA9 \\\xC3\xA9']", [] { return xy(str("caf\xC3\xA9 \\\xC3\xA9")); }},
        Compares{"[x:y = 'AND ] OR ['] ", [] { return xy(str("AND ] OR [")); }}));

INSTANTIATE_TEST_SUITE_P(
    Operators, ComparisonBuilds,
    testing::Values(
        Compares{"[x:y != 1]", [] { return xy_op(ComparisonOp::NEQ, integer(1)); }},
        Compares{"[x:y > 1]", [] { return xy_op(ComparisonOp::GT, integer(1)); }},
        Compares{"[x:y < 1]", [] { return xy_op(ComparisonOp::LT, integer(1)); }},
        Compares{"[x:y >= 1]", [] { return xy_op(ComparisonOp::GE, integer(1)); }},
        Compares{"[x:y <= 1]", [] { return xy_op(ComparisonOp::LE, integer(1)); }},
        Compares{"[x:y LIKE 'a%']", [] { return xy_op(ComparisonOp::LIKE, str("a%")); }},
        Compares{"[x:y MATCHES '^a']", [] { return xy_op(ComparisonOp::MATCHES, str("^a")); }},
        Compares{"[x:y ISSUBSET '10.0.0.0/8']", [] { return xy_op(ComparisonOp::ISSUBSET, str("10.0.0.0/8")); }},
        Compares{"[x:y ISSUPERSET '10.0.0.0/8']", [] { return xy_op(ComparisonOp::ISSUPERSET, str("10.0.0.0/8")); }},
        Compares{"[x:y IN 'x']", [] { return xy_op(ComparisonOp::IN, str("x")); }},
        Compares{"[x:y NOT = 1]", [] { return xy_op(ComparisonOp::EQ, integer(1), true); }},
        Compares{"[x:y NOT LIKE 'a']", [] { return xy_op(ComparisonOp::LIKE, str("a"), true); }},
        Compares{"[EXISTS x:y]",
                 [] { return Comparison{path("x", {step("y")}), UnaryOp::EXISTS, false, std::nullopt}; }},
        Compares{"[EXISTSx:y.z]",
                 [] { return Comparison{path("x", {step("y"), step("z")}), UnaryOp::EXISTS, false, std::nullopt}; }}));

Comparison in_list(ComparisonRhs::List values, bool negated = false, ComparisonOp op = ComparisonOp::IN) {
    return comparison(path("x", {step("y")}), op, ComparisonRhs{std::move(values)}, negated);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ComparisonBuilds,
    testing::Values(
        Compares{"[x:y IN (1, 2)]", [] { return in_list({integer(1), integer(2)}); }},
        Compares{"[x:y IN ('only')]", [] { return in_list({str("only")}); }},
        Compares{"[x:y IN (1, 'a', true, 2.5, h'ff', b'AA==', t'2020-01-01T00:00:00Z')]",
                 [] {
                     return in_list({integer(1), str("a"), StixValue{true}, StixValue{2.5},
                                     StixValue{StixValue::Hex{"ff"}}, StixValue{StixValue::Binary{"AA=="}},
                                     StixValue{utc(2020, 1, 1)}});
                 }},
        Compares{"[x:y NOTIN ('x')]", [] { return in_list({str("x")}, true); }},
        // More values than the room a list takes in the parse's block.
        Compares{"[x:y IN (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16)]",
                 [] {
                     ComparisonRhs::List values;
                     for (std::int64_t i = 1; i <= 16; ++i) values.push_back(integer(i));
                     return in_list(std::move(values));
                 }},
        Compares{"[x:y = ('x', 'y')]", [] { return in_list({str("x"), str("y")}, false, ComparisonOp::EQ); }}));

INSTANTIATE_TEST_SUITE_P(
    Paths, ComparisonBuilds,
    testing::Values(
        Compares{"[file:hashes.'SHA-256' = 'x']",
                 [] {
                     return comparison(path("file", {step("hashes"), step("SHA-256")}), ComparisonOp::EQ,
                                       ComparisonRhs{str("x")});
                 }},
        Compares{"[x:list[*].name = 'a']",
                 [] {
                     return comparison(path("x", {step("list", PathIndex{PathIndex::Star{}}), step("name")}),
                                       ComparisonOp::EQ, ComparisonRhs{str("a")});
                 }},
        Compares{"[x:list[0] = 1]",
                 [] {
                     return comparison(path("x", {step("list", PathIndex{0U})}), ComparisonOp::EQ,
                                       ComparisonRhs{integer(1)});
                 }},
        Compares{"[x:list[4294967295].n = 1]",
                 [] {
                     return comparison(path("x", {step("list", PathIndex{4294967295U}), step("n")}),
                                       ComparisonOp::EQ, ComparisonRhs{integer(1)});
                 }},
        // More steps than a comparison holds inline, and more than a node's room holds.
        Compares{"[x:a.b[1].'c-d' = 1]",
                 [] {
                     return comparison(path("x", {step("a"), step("b", PathIndex{1U}), step("c-d")}), ComparisonOp::EQ,
                                       ComparisonRhs{integer(1)});
                 }},
        Compares{"[x:a.b.c.d.e.f.g.h.i.j[*] = 1]",
                 [] {
                     std::vector<PathComponent> steps;
                     for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h", "i"}) steps.push_back(step(name));
                     steps.push_back(step("j", PathIndex{PathIndex::Star{}}));
                     return comparison(path("x", std::move(steps)), ComparisonOp::EQ, ComparisonRhs{integer(1)});
                 }},
        Compares{"[a:b[007] = 1]",
                 [] { return comparison(path("a", {step("b", PathIndex{7U})}), ComparisonOp::EQ, ComparisonRhs{integer(1)}); }},
        Compares{"[email-message:to_refs[*].value = 'x']",
                 [] {
                     return comparison(path("email-message", {step("to_refs", PathIndex{PathIndex::Star{}}), step("value")}),
                                       ComparisonOp::EQ, ComparisonRhs{str("x")});
                 }},
        Compares{"[123:456 = 1]",
                 [] { return comparison(path("123", {step("456")}), ComparisonOp::EQ, ComparisonRhs{integer(1)}); }},
        Compares{"[EXISTS:name = 1]",
                 [] { return comparison(path("EXISTS", {step("name")}), ComparisonOp::EQ, ComparisonRhs{integer(1)}); }}));

// --- quoted texts around the sixteen-byte scan of plain bytes ---

// A quote, a backslash or a non-ASCII byte at any offset of a long text, in or out of the
// first sixteen bytes, ends the plain run there: the text comes out whole, and a text
// whose closing quote is missing is rejected whatever its length.
TEST(QuotedText, KeepsASpecialByteAtAnyOffset) {
    struct Special {
        std::string written;
        std::string kept;
    };
    const Special specials[] = {
        {"\\'", "'"}, {"\\\\", "\\"}, {"\xc3\xa9", "\xc3\xa9"}, {"\\q", "\\q"}, {"", ""}};
    for (const Special& special : specials) {
        for (std::size_t offset = 0; offset <= 40; ++offset) {
            const std::string before(offset, 'a');
            const std::string after(40 - offset, 'b');
            const std::string text = "[x:y = '" + before + special.written + after + "']";
            const auto result = parse_pattern(text);
            ASSERT_TRUE(result.ok()) << text << ": " << result.error().message();
            EXPECT_EQ(result.value(), observe(ComparisonExpr{xy(str(before + special.kept + after))})) << text;
            EXPECT_FALSE(parse_pattern("[x:y = '" + before + special.written + "]").ok()) << text;
        }
    }
}

// --- building while matching: turns the builder cannot follow, and trees past a chunk ---

// `count` observations `[a:pI = I]` joined by AND, folded from the left.
std::string property_number(std::size_t i) {
    std::string property = "p";
    property += std::to_string(i);
    return property;
}
PatternExpr observations(std::size_t count) {
    PatternExpr tree = obs("p0", 0);
    for (std::size_t i = 1; i < count; ++i) {
        tree = join(std::move(tree), OBS_AND, obs(property_number(i), static_cast<std::int64_t>(i)));
    }
    return tree;
}
std::string observations_text(std::size_t count) {
    std::string text = "[a:p0 = 0]";
    for (std::size_t i = 1; i < count; ++i) {
        text += " AND [a:";
        text += property_number(i);
        text += " = ";
        text += std::to_string(i);
        text += "]";
    }
    return text;
}

// `count` comparisons `x:y = '<a long text I>'` joined by OR.
std::string long_text(std::size_t i) {
    return "a text too long to lie inside its node, number " + std::to_string(i);
}
PatternExpr long_texts(std::size_t count) {
    ComparisonExpr chain = eq("x", "y", str(long_text(0)));
    for (std::size_t i = 1; i < count; ++i) {
        chain = both(std::move(chain), OR, eq("x", "y", str(long_text(i))));
    }
    return observe(std::move(chain));
}
std::string long_texts_text(std::size_t count) {
    std::string text = "[x:y = '" + long_text(0) + "'";
    for (std::size_t i = 1; i < count; ++i) text += " OR x:y = '" + long_text(i) + "'";
    return text + "]";
}

PatternExpr exists_ab() {
    return observe(ComparisonExpr{Comparison{path("a", {step("b")}), UnaryOp::EXISTS, false, std::nullopt}});
}

INSTANTIATE_TEST_SUITE_P(
    WhileMatching, PatternBuilds,
    testing::Values(
        // The grammar first reads `EXISTSa` as an object type and turns back after the path:
        // the tree is built again from the parse tree.
        Builds{"[EXISTSa:b]", exists_ab}, Builds{"[EXISTS a:b]", exists_ab},
        Builds{observations_text(3), [] { return observations(3); }},
        Builds{observations_text(40), [] { return observations(40); }},
        Builds{long_texts_text(2), [] { return long_texts(2); }},
        Builds{long_texts_text(30), [] { return long_texts(30); }},
        Builds{"[a:b = 1] AND ([a:c = 2] OR [a:d = 3]) REPEATS 2 TIMES AND [a:e = 4]",
               [] {
                   return join(join(obs("b", 1), OBS_AND, qualified(join(obs("c", 2), OBS_OR, obs("d", 3)), {.repeat = 2})),
                               OBS_AND, obs("e", 4));
               }}));

// --- rejected patterns and their messages ---

struct Rejects {
    std::string text;
    std::string message;
};
void PrintTo(const Rejects& c, std::ostream* os) {
    *os << c.text;
}

class PatternRejected : public testing::TestWithParam<Rejects> {};

TEST_P(PatternRejected, WithTheMessage) {
    const auto result = parse_pattern(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), GetParam().message);
    // A shared build that fails drops what it built so far with its block.
    const auto shared = parse_shared_pattern(GetParam().text);
    ASSERT_FALSE(shared.ok());
    EXPECT_EQ(shared.error().message(), GetParam().message);
    const auto whole = built_from_whole_tree(GetParam().text);
    ASSERT_FALSE(whole.ok());
    EXPECT_EQ(whole.error().message(), GetParam().message);
}

const std::string too_large = "Invalid integer: number too large to fit in target type";
const std::string too_small = "Invalid integer: number too small to fit in target type";

INSTANTIATE_TEST_SUITE_P(
    Conversions, PatternRejected,
    testing::Values(
        Rejects{"[file:size = 9223372036854775808]", too_large},
        Rejects{"[file:size = -9223372036854775809]", too_small},
        Rejects{"[file:size = 99999999999999999999999]", too_large},
        Rejects{"[x:list[4294967296].n = 1]", too_large},
        Rejects{"[x:y.z[99999999999] = 1]", too_large},
        // Past two steps a path lies on the heap: failing there, it is still freed.
        Rejects{"[x:a.b.c.d[99999999999] = 1]", too_large},
        Rejects{"[a:b = 1] REPEATS 4294967296 TIMES", too_large},
        Rejects{"[x:y = t'2020-13-01T00:00:00Z']", "Invalid timestamp: 2020-13-01T00:00:00Z"},
        Rejects{"[x:y = t'yesterday']", "Invalid timestamp: yesterday"},
        Rejects{"[x:y = t'2020-01-01T24:00:00']", "Invalid timestamp: 2020-01-01T24:00:00"},
        Rejects{"[x:y = t'2020-01-01T00:00:00.Z']", "Invalid timestamp: 2020-01-01T00:00:00.Z"},
        Rejects{"[x:y = t'2020-01-01T00:00:00+24:00']", "Invalid timestamp: 2020-01-01T00:00:00+24:00"},
        Rejects{"[a:b = 1] START t'2020-02-30T00:00:00Z' STOP t'2020-03-01T00:00:00Z'",
                "Invalid timestamp: 2020-02-30T00:00:00Z"},
        Rejects{"[a:b = 1] START t'2020-03-01T00:00:00Z' STOP t'2021-02-29T00:00:00Z'",
                "Invalid timestamp: 2021-02-29T00:00:00Z"},
        // A failing list element fails the whole pattern; the first failure wins.
        Rejects{"[x:y IN (1, t'bad', 99999999999999999999)]", "Invalid timestamp: bad"},
        Rejects{"[a:b = t'first'] REPEATS 4294967296 TIMES", "Invalid timestamp: first"},
        Rejects{"[a:b = 1 OR a:c = t'inner'] AND [a:d = t'later']", "Invalid timestamp: inner"},
        Rejects{"[a:b = 1] AND ([a:c = 2] AND [a:d = t'deep'])", "Invalid timestamp: deep"},
        // Failing with more frames open than the builders keep inline: all are given up.
        Rejects{"[a:b = 1] AND ([a:c = 2] AND ([a:e = 3] OR ([a:d = t'deeper'])))", "Invalid timestamp: deeper"},
        Rejects{"[a:b = 1 AND (a:c = 2 OR (a:d = 3 AND (a:e = t'deepest')))]", "Invalid timestamp: deepest"}));

// Grammar failures come back exactly as the grammar reported them.
struct GrammarFailure {
    std::string text;
    std::string message_start;
};
void PrintTo(const GrammarFailure& c, std::ostream* os) {
    *os << c.text.substr(0, 40);
}

class GrammarRejected : public testing::TestWithParam<GrammarFailure> {};

TEST_P(GrammarRejected, PassesTheGrammarErrorOn) {
    const auto built = parse_pattern(GetParam().text);
    const auto grammar = StixParser::parse(Rule::pattern, GetParam().text);
    ASSERT_FALSE(built.ok());
    ASSERT_FALSE(grammar.ok());
    EXPECT_EQ(built.error(), grammar.error());
    EXPECT_EQ(built.error().message().rfind(GetParam().message_start, 0), 0U) << built.error().message();
}

const std::string grammar_error = "Grammar error: ";

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarRejected,
    testing::Values(GrammarFailure{"", grammar_error}, GrammarFailure{"[a:b = 1", grammar_error},
                    GrammarFailure{"[a:b = 1]]", grammar_error}, GrammarFailure{"[a:b = ()]", grammar_error},
                    GrammarFailure{"[a:b = 1] AND", grammar_error},
                    GrammarFailure{"[a:b = 1] REPEATS 2.5 TIMES", grammar_error},
                    GrammarFailure{"[x:y = h'']", grammar_error},
                    GrammarFailure{"[a:b = 1] WITHIN -5 SECONDS", grammar_error},
                    // A conversion that failed before the grammar did is not what is reported.
                    GrammarFailure{"[a:b = 99999999999999999999] AND", grammar_error},
                    GrammarFailure{"[a:b = t'bad' OR a:c = 1] REPEATS 99999999999 TIMES FOLLOWEDBY", grammar_error},
                    GrammarFailure{std::string(StixParser::max_nesting + 1, '(') + "[a:b = 1]" +
                                       std::string(StixParser::max_nesting + 1, ')'),
                                   "Nesting too deep: "}));

// --- guards against parse trees that the grammar does not make for a pattern ---

struct Guard {
    Rule start;
    std::string text;
    std::function<std::string(Node)> build;
    std::string message;
};
void PrintTo(const Guard& c, std::ostream* os) {
    *os << display_name(c.start) << ": " << c.text;
}

template <typename T>
std::string message_of(const Result<T>& result) {
    return result.ok() ? std::string("no error") : result.error().message();
}

class BuilderGuards : public testing::TestWithParam<Guard> {};

TEST_P(BuilderGuards, ReportForeignNodes) {
    const auto tree = StixParser::parse(GetParam().start, GetParam().text);
    ASSERT_TRUE(tree.ok()) << tree.error().message();
    const Node node = *tree.value().top_level().begin();
    EXPECT_EQ(GetParam().build(node), GetParam().message);
}

const auto pair = [](Node n) { return message_of(parse_pair(n)); };
const auto expression = [](Node n) { return message_of(parse_expression(n)); };
const auto value = [](Node n) { return message_of(parse_value(n)); };
const auto comparison_of = [](Node n) { return message_of(parse_comparison(n)); };
const auto qualifier = [](Node n) {
    QualifierSet set;
    return message_of(parse_qualifier(n, set));
};

INSTANTIATE_TEST_SUITE_P(
    Table, BuilderGuards,
    testing::Values(Guard{Rule::comparison, "a:b = 1", pair, "Unexpected rule: comparison"},
                    Guard{Rule::and_, "AND", expression, "Missing expected element: expression"},
                    Guard{Rule::observation, "[a:b = 1]", expression, "Unexpected rule: comparison"},
                    Guard{Rule::bool_, "true", value, "Missing expected element: value content"},
                    Guard{Rule::list, "(1)", value, "Unexpected rule: value"},
                    Guard{Rule::exists, "EXISTS", comparison_of, "Missing expected element: comparison content"},
                    Guard{Rule::path, "a:b", comparison_of, "Missing expected element: comparison content"},
                    Guard{Rule::or_, "OR", qualifier, "Missing expected element: qualifier content"}));

// --- nesting at the grammar's limit, on a thread with a 1 MiB stack ---

std::string repeated(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

// The brackets of the observation take one level of the grammar's limit.
constexpr std::size_t deepest_parentheses = StixParser::max_nesting - 1;

TEST(DeepNesting, QualifiedGroupsAtTheLimit) {
    const std::string text = repeated("(", deepest_parentheses) + "[a:b = 1]" +
                             repeated(") REPEATS 2 TIMES", deepest_parentheses);
    PatternExpr expected = obs("b", 1);
    for (std::size_t i = 0; i < deepest_parentheses; ++i) {
        expected = qualified(std::move(expected), {.repeat = 2});
    }
    bool equal = false;
    std::string error;
    quarnel::test_support::run_on_stack(quarnel::test_support::one_mebibyte, [&] {
        const auto result = parse_pattern(text);
        error = message_of(result);
        equal = result.ok() && result.value() == expected;
    });
    EXPECT_EQ(error, "no error");
    EXPECT_TRUE(equal);
}

TEST(DeepNesting, ParenthesisedComparisonsAtTheLimit) {
    std::string text = "[";  // appended, not joined with +: GCC 12 warns falsely on "[" + string
    text += repeated("(a:b = 1 OR ", deepest_parentheses) + "a:c = 2" + repeated(")", deepest_parentheses) + "]";
    ComparisonExpr expected = a("c", 2);
    for (std::size_t i = 0; i < deepest_parentheses; ++i) {
        expected = both(a("b", 1), OR, std::move(expected));
    }
    const PatternExpr expected_pattern = observe(std::move(expected));
    bool equal = false;
    std::string error;
    quarnel::test_support::run_on_stack(quarnel::test_support::one_mebibyte, [&] {
        const auto result = parse_pattern(text);
        error = message_of(result);
        equal = result.ok() && result.value() == expected_pattern;
    });
    EXPECT_EQ(error, "no error");
    EXPECT_TRUE(equal);
}

}  // namespace
}  // namespace quarnel::parser
