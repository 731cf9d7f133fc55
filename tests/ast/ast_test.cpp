#include "ast/ast.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "parser/builder.hpp"
#include "support/small_stack.hpp"

namespace quarnel::ast {
namespace {

ObjectPath path(std::string object, std::string property) {
    return ObjectPath{std::move(object), {PathComponent{std::move(property), std::nullopt}}};
}

ComparisonExpr compare(std::string property, StixValue value) {
    return ComparisonExpr{Comparison{path("a", std::move(property)), ComparisonOp::EQ, false,
                                     ComparisonRhs{std::move(value)}}};
}

ComparisonExpr compare_int(std::int64_t value) {
    return compare("b", StixValue{value});
}

ComparisonExpr both(ComparisonExpr left, BooleanOp op, ComparisonExpr right) {
    return ComparisonExpr{CompositeComparison::new_(std::move(left), op, std::move(right))};
}

PatternExpr observe(ComparisonExpr inside) {
    return PatternExpr{std::move(inside)};
}

PatternExpr join(PatternExpr left, ObservationOp op, PatternExpr right) {
    return PatternExpr{CompositePattern::new_(std::move(left), op, std::move(right))};
}

PatternExpr qualify(PatternExpr inner, std::optional<std::uint32_t> repeat, std::optional<double> within) {
    return PatternExpr{
        QualifiedPattern(std::make_unique<PatternExpr>(std::move(inner)), repeat, within, std::nullopt, std::nullopt)};
}

// A tree with every kind of heap node: composites of both kinds, a qualified pattern,
// lists, paths with indexes.
PatternExpr sample_tree() {
    ComparisonExpr listed{Comparison{
        ObjectPath{"x", {PathComponent{"list", PathIndex{PathIndex::Star{}}}, PathComponent{"n", PathIndex{3U}}}},
        ComparisonOp::IN, true,
        ComparisonRhs{ComparisonRhs::List{StixValue{std::string("long enough to live on the heap")},
                                          StixValue{StixValue::Hex{"0aFF"}}}}}};
    PatternExpr first = observe(both(both(compare_int(1), BooleanOp::OR, compare_int(2)), BooleanOp::AND,
                                     std::move(listed)));
    PatternExpr second = qualify(observe(compare_int(3)), 2, 5.0);
    PatternExpr exists = observe(ComparisonExpr{Comparison{path("e", "f"), UnaryOp::EXISTS, false, std::nullopt}});
    return join(join(std::move(first), ObservationOp::FOLLOWEDBY, std::move(second)), ObservationOp::OR,
                std::move(exists));
}

// Every heap block reachable from a tree: operand nodes and the buffers of long strings
// and vectors.
void collect(const ComparisonExpr& expr, std::vector<const void*>& blocks);

void collect(const StixValue& value, std::vector<const void*>& blocks) {
    if (const auto* text = std::get_if<StixValue::String>(&value.value); text && text->size() > 15) {
        blocks.push_back(text->data());
    }
}

void collect(const Comparison& comparison, std::vector<const void*>& blocks) {
    blocks.push_back(comparison.object_path.property_path.data());
    if (!comparison.constant) {
        return;
    }
    if (const auto* list = std::get_if<ComparisonRhs::List>(&comparison.constant->value)) {
        blocks.push_back(list->data());
        for (const StixValue& value : *list) {
            collect(value, blocks);
        }
    } else {
        collect(std::get<StixValue>(comparison.constant->value), blocks);
    }
}

void collect(const ComparisonExpr& expr, std::vector<const void*>& blocks) {
    if (const auto* composite = std::get_if<CompositeComparison>(&expr.value)) {
        blocks.push_back(composite->left.get());
        blocks.push_back(composite->right.get());
        collect(*composite->left, blocks);
        collect(*composite->right, blocks);
    } else {
        collect(std::get<Comparison>(expr.value), blocks);
    }
}

void collect(const PatternExpr& expr, std::vector<const void*>& blocks) {
    if (const auto* composite = std::get_if<CompositePattern>(&expr.value)) {
        blocks.push_back(composite->left.get());
        blocks.push_back(composite->right.get());
        collect(*composite->left, blocks);
        collect(*composite->right, blocks);
    } else if (const auto* qualified = std::get_if<QualifiedPattern>(&expr.value)) {
        blocks.push_back(qualified->pattern.get());
        collect(*qualified->pattern, blocks);
    } else {
        collect(std::get<ComparisonExpr>(expr.value), blocks);
    }
}

std::vector<const void*> blocks_of(const PatternExpr& expr) {
    std::vector<const void*> blocks;
    collect(expr, blocks);
    return blocks;
}

void expect_disjoint(const PatternExpr& original, const PatternExpr& copy) {
    const std::vector<const void*> ours = blocks_of(original);
    const std::vector<const void*> theirs = blocks_of(copy);
    ASSERT_EQ(ours.size(), theirs.size());
    const std::set<const void*> distinct(ours.begin(), ours.end());
    for (const void* block : theirs) {
        EXPECT_EQ(distinct.count(block), 0U) << "the copy shares a heap block with its original";
    }
}

TEST(DeepCopy, SharesNoNodeWithItsOriginal) {
    const auto original = std::make_unique<PatternExpr>(sample_tree());
    const PatternExpr copy = *original;
    EXPECT_EQ(copy, *original);
    expect_disjoint(*original, copy);
}

TEST(DeepCopy, AssignmentSharesNoNodeEither) {
    const PatternExpr original = sample_tree();
    PatternExpr target = observe(compare_int(9));
    target = original;
    EXPECT_EQ(target, original);
    expect_disjoint(original, target);
}

TEST(DeepCopy, OutlivesItsOriginal) {
    auto original = std::make_unique<PatternExpr>(sample_tree());
    const PatternExpr copy = *original;
    original.reset();
    EXPECT_EQ(copy, sample_tree());
}

TEST(DeepCopy, OriginalOutlivesTheCopy) {
    const PatternExpr original = sample_tree();
    { const PatternExpr copy = original; }
    EXPECT_EQ(original, sample_tree());
}

// Pairs of trees that differ in exactly one place.
struct Differ {
    std::string what;
    std::function<PatternExpr()> one;
    std::function<PatternExpr()> other;
};
void PrintTo(const Differ& c, std::ostream* os) {
    *os << c.what;
}

class Equality : public testing::TestWithParam<Differ> {};

TEST_P(Equality, SeesTheDifference) {
    EXPECT_EQ(GetParam().one(), GetParam().one());
    EXPECT_FALSE(GetParam().one() == GetParam().other());
    EXPECT_FALSE(GetParam().other() == GetParam().one());
}

PatternExpr chain_of(std::vector<std::int64_t> values, ObservationOp op) {
    PatternExpr chain = observe(compare_int(values.front()));
    for (std::size_t i = 1; i < values.size(); ++i) {
        chain = join(std::move(chain), op, observe(compare_int(values[i])));
    }
    return chain;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Equality,
    testing::Values(
        Differ{"observation operator", [] { return chain_of({1, 2, 3}, ObservationOp::AND); },
               [] { return chain_of({1, 2, 3}, ObservationOp::FOLLOWEDBY); }},
        Differ{"deepest left operand", [] { return chain_of({1, 2, 3}, ObservationOp::OR); },
               [] { return chain_of({0, 2, 3}, ObservationOp::OR); }},
        Differ{"a right operand", [] { return chain_of({1, 2, 3}, ObservationOp::OR); },
               [] { return chain_of({1, 0, 3}, ObservationOp::OR); }},
        Differ{"chain length", [] { return chain_of({1, 2, 3}, ObservationOp::OR); },
               [] { return chain_of({1, 2}, ObservationOp::OR); }},
        Differ{"grouping", [] { return chain_of({1, 2, 3}, ObservationOp::OR); },
               [] {
                   return join(observe(compare_int(1)), ObservationOp::OR, chain_of({2, 3}, ObservationOp::OR));
               }},
        Differ{"boolean operator",
               [] { return observe(both(compare_int(1), BooleanOp::AND, compare_int(2))); },
               [] { return observe(both(compare_int(1), BooleanOp::OR, compare_int(2))); }},
        Differ{"int and float of equal value", [] { return observe(compare("b", StixValue{std::int64_t{1}})); },
               [] { return observe(compare("b", StixValue{1.0})); }},
        Differ{"string and hex of equal text", [] { return observe(compare("b", StixValue{std::string("ab")})); },
               [] { return observe(compare("b", StixValue{StixValue::Hex{"ab"}})); }},
        Differ{"property", [] { return observe(compare("b", StixValue{true})); },
               [] { return observe(compare("c", StixValue{true})); }},
        Differ{"qualifier value", [] { return qualify(observe(compare_int(1)), 2, std::nullopt); },
               [] { return qualify(observe(compare_int(1)), 3, std::nullopt); }},
        Differ{"qualifier kind", [] { return qualify(observe(compare_int(1)), std::nullopt, 2.0); },
               [] { return qualify(observe(compare_int(1)), 2, std::nullopt); }},
        Differ{"qualified or not", [] { return qualify(observe(compare_int(1)), 2, std::nullopt); },
               [] { return observe(compare_int(1)); }},
        Differ{"nested qualifiers", [] { return qualify(qualify(observe(compare_int(1)), 2, std::nullopt), std::nullopt, 5.0); },
               [] { return qualify(observe(compare_int(1)), 2, 5.0); }}));

// --- a 200,000-operand chain, built, copied, compared and destroyed without recursion ---

constexpr int chain_length = 200'000;

std::string comparison_chain_text() {
    std::string text = "[a:b = 0";
    for (int i = 1; i < chain_length; ++i) {
        text += " OR a:b = " + std::to_string(i);
    }
    return text + "]";
}

std::string observation_chain_text() {
    std::string text = "[a:b = 0]";
    for (int i = 1; i < chain_length; ++i) {
        text += " FOLLOWEDBY [a:b = " + std::to_string(i) + "]";
    }
    return text;
}

PatternExpr comparison_chain() {
    ComparisonExpr chain = compare_int(0);
    for (int i = 1; i < chain_length; ++i) {
        chain = both(std::move(chain), BooleanOp::OR, compare_int(i));
    }
    return observe(std::move(chain));
}

PatternExpr observation_chain() {
    PatternExpr chain = observe(compare_int(0));
    for (int i = 1; i < chain_length; ++i) {
        chain = join(std::move(chain), ObservationOp::FOLLOWEDBY, observe(compare_int(i)));
    }
    return chain;
}

struct ChainOutcome {
    std::string parse_error;
    bool parsed_equals_built = false;
    bool copy_equals_built = false;
    bool differs_after_change = false;
};

// Builds the chain both ways, compares, copies, changes the copy's deepest operand, and
// lets everything go out of scope.
ChainOutcome exercise_chain(const std::string& text, PatternExpr (*build)()) {
    ChainOutcome outcome;
    auto parsed = parser::parse_pattern(text);
    if (!parsed) {
        outcome.parse_error = parsed.error().message();
        return outcome;
    }
    const PatternExpr built = build();
    outcome.parsed_equals_built = parsed.value() == built;
    PatternExpr copy = built;
    outcome.copy_equals_built = copy == built;
    PatternExpr* deepest = &copy;
    while (auto* composite = std::get_if<CompositePattern>(&deepest->value)) {
        deepest = composite->left.get();
    }
    ComparisonExpr* leaf = &std::get<ComparisonExpr>(deepest->value);
    while (auto* composite = std::get_if<CompositeComparison>(&leaf->value)) {
        leaf = composite->left.get();
    }
    *leaf = compare_int(-1);
    outcome.differs_after_change = !(copy == built);
    return outcome;
}

void expect_whole(const ChainOutcome& outcome) {
    ASSERT_EQ(outcome.parse_error, "");
    EXPECT_TRUE(outcome.parsed_equals_built);
    EXPECT_TRUE(outcome.copy_equals_built);
    EXPECT_TRUE(outcome.differs_after_change);
}

constexpr std::size_t small_stack = 256 * 1024;

TEST(LongChain, OfComparisonsInOneObservation) {
    expect_whole(exercise_chain(comparison_chain_text(), &comparison_chain));
}

TEST(LongChain, OfObservations) {
    expect_whole(exercise_chain(observation_chain_text(), &observation_chain));
}

TEST(LongChain, OfComparisonsOnASmallStack) {
    const std::string text = comparison_chain_text();
    ChainOutcome outcome;
    quarnel::test_support::run_on_stack(small_stack, [&] { outcome = exercise_chain(text, &comparison_chain); });
    expect_whole(outcome);
}

TEST(LongChain, OfObservationsOnASmallStack) {
    const std::string text = observation_chain_text();
    ChainOutcome outcome;
    quarnel::test_support::run_on_stack(small_stack, [&] { outcome = exercise_chain(text, &observation_chain); });
    expect_whole(outcome);
}

// --- trees deeper than any parse makes, used on a 64 KiB stack ---

constexpr int deep_levels = 20'000;

// Right-nested trees of each kind: what deep parentheses give, far deeper.
PatternExpr deep_right_patterns() {
    PatternExpr tree = observe(compare_int(0));
    for (int i = 1; i < deep_levels; ++i) {
        tree = join(observe(compare_int(i)), ObservationOp::AND, std::move(tree));
    }
    return tree;
}

PatternExpr deep_qualified() {
    PatternExpr tree = observe(compare_int(0));
    for (int i = 1; i < deep_levels; ++i) {
        tree = PatternExpr{QualifiedPattern(std::make_unique<PatternExpr>(std::move(tree)), i, std::nullopt,
                                            std::nullopt, std::nullopt)};
    }
    return tree;
}

PatternExpr deep_right_comparisons() {
    ComparisonExpr tree = compare_int(0);
    for (int i = 1; i < deep_levels; ++i) {
        tree = both(compare_int(i), BooleanOp::AND, std::move(tree));
    }
    return observe(std::move(tree));
}

// Zig-zags between the left and the right operand and through qualifiers.
PatternExpr deep_mixed() {
    PatternExpr tree = observe(compare_int(0));
    for (int i = 1; i < deep_levels; ++i) {
        PatternExpr leaf = observe(compare_int(i));
        tree = i % 3 == 0 ? join(std::move(tree), ObservationOp::OR, std::move(leaf))
               : i % 3 == 1 ? join(std::move(leaf), ObservationOp::FOLLOWEDBY, std::move(tree))
                            : PatternExpr{QualifiedPattern(std::make_unique<PatternExpr>(std::move(tree)), std::nullopt,
                                                           1.5, std::nullopt, std::nullopt)};
    }
    return tree;
}

// Each level's right operand is a composite too, so that both operands of every level have
// operands of their own.
PatternExpr deep_both_sides() {
    PatternExpr tree = observe(compare_int(0));
    for (int i = 1; i < deep_levels; ++i) {
        PatternExpr pair = join(observe(compare_int(i)), ObservationOp::OR, observe(compare_int(-i)));
        tree = join(std::move(tree), ObservationOp::AND, std::move(pair));
    }
    return tree;
}

struct DeepTree {
    std::string name;
    PatternExpr (*build)();
};
void PrintTo(const DeepTree& c, std::ostream* os) {
    *os << c.name;
}

class DeepTrees : public testing::TestWithParam<DeepTree> {};

// The tree is built on the test's own stack; copying, comparing and destroying happen on
// a thread whose stack no recursion per level would survive.
TEST_P(DeepTrees, CopyCompareAndDestroyOnASmallStack) {
    auto tree = std::make_unique<PatternExpr>(GetParam().build());
    bool copy_equal = false;
    bool differs = true;
    quarnel::test_support::run_on_stack(64 * 1024, [&] {
        const PatternExpr copy = *tree;
        copy_equal = copy == *tree;
        tree.reset();
        differs = copy == observe(compare_int(0));
    });
    EXPECT_TRUE(copy_equal);
    EXPECT_FALSE(differs);
    EXPECT_EQ(tree, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, DeepTrees,
                         testing::Values(DeepTree{"right patterns", deep_right_patterns},
                                         DeepTree{"qualified", deep_qualified},
                                         DeepTree{"right comparisons", deep_right_comparisons},
                                         DeepTree{"mixed", deep_mixed},
                                         DeepTree{"both sides", deep_both_sides}));

TEST(DeepTrees, DifferAtTheBottom) {
    const PatternExpr tree = deep_mixed();
    PatternExpr copy = tree;
    PatternExpr* node = &copy;
    while (true) {
        if (auto* composite = std::get_if<CompositePattern>(&node->value)) {
            node = (std::holds_alternative<ComparisonExpr>(composite->right->value) ? composite->left : composite->right).get();
        } else if (auto* qualified = std::get_if<QualifiedPattern>(&node->value)) {
            node = qualified->pattern.get();
        } else {
            break;
        }
    }
    *node = observe(compare_int(-1));
    EXPECT_FALSE(copy == tree);
}

// --- dates beyond std::chrono's years ---

struct DayCount {
    Date date;
    std::int64_t days;  // since 1970-01-01
};
void PrintTo(const DayCount& c, std::ostream* os) {
    *os << c.date.year() << '-' << c.date.month() << '-' << c.date.day();
}

class DateCounts : public testing::TestWithParam<DayCount> {};

TEST_P(DateCounts, DaysBothWays) {
    EXPECT_EQ(GetParam().date.days_since_epoch(), GetParam().days);
    EXPECT_EQ(Date::from_days(GetParam().days), GetParam().date);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DateCounts,
    testing::Values(DayCount{Date(1970, 1, 1), 0}, DayCount{Date(1969, 12, 31), -1},
                    DayCount{Date(2000, 2, 29), 11016}, DayCount{Date(2000, 3, 1), 11017},
                    DayCount{Date(1900, 3, 1), -25508}, DayCount{Date(0, 3, 1), -719468},
                    DayCount{Date(0, 2, 29), -719469}, DayCount{Date(-1, 12, 31), -719529},
                    DayCount{Date(262143, 12, 31), 95026601}, DayCount{Date(-262144, 1, 1), -96465658}));

TEST(DateCounts, AgreeWithChronoAcrossItsRange) {
    using namespace std::chrono;
    for (const sys_days day : {sys_days{year{-32767} / 1 / 1}, sys_days{year{1} / 1 / 1}, sys_days{year{32765} / 1 / 1}}) {
        for (int step = 0; step < 800; ++step) {
            const year_month_day expected{day + days{step}};
            EXPECT_EQ(Date::from_days((day + days{step}).time_since_epoch().count()), Date(expected));
            EXPECT_EQ(sys_days{Date(expected)}, day + days{step});
        }
    }
}

struct Validity {
    Date date;
    bool ok;
};
void PrintTo(const Validity& c, std::ostream* os) {
    PrintTo(DayCount{c.date, 0}, os);
}

class DateValidity : public testing::TestWithParam<Validity> {};

TEST_P(DateValidity, FollowsTheGregorianLeapYears) {
    EXPECT_EQ(GetParam().date.ok(), GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DateValidity,
    testing::Values(Validity{Date(2020, 2, 29), true}, Validity{Date(2019, 2, 29), false},
                    Validity{Date(1900, 2, 29), false}, Validity{Date(2000, 2, 29), true},
                    Validity{Date(0, 2, 29), true}, Validity{Date(-4, 2, 29), true},
                    Validity{Date(-1, 2, 29), false}, Validity{Date(-100, 2, 29), false},
                    Validity{Date(2020, 4, 31), false}, Validity{Date(2020, 12, 31), true},
                    Validity{Date(2020, 13, 1), false}, Validity{Date(2020, 0, 1), false},
                    Validity{Date(2020, 1, 0), false},
                    // Past a byte: must not wrap round to January or to the 1st.
                    Validity{Date(2020, 257, 1), false}, Validity{Date(2020, 1, 257), false}));

}  // namespace
}  // namespace quarnel::ast
