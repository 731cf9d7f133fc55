#include "ast/inline_vector.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "sequence_items.hpp"

namespace quarnel::ast {
namespace {

using testing_items::item;

template <std::size_t Inline>
using Strings = InlineVector<std::string, Inline>;

std::vector<std::string> items(std::size_t count) {
    std::vector<std::string> made;
    for (std::size_t i = 0; i < count; ++i) {
        made.push_back(item(i));
    }
    return made;
}

template <std::size_t Inline>
Strings<Inline> appended(std::size_t count) {
    return testing_items::appended<Strings<Inline>>(count);
}

template <std::size_t Inline>
void expect_items(const InlineVector<std::string, Inline>& actual, std::size_t count) {
    ASSERT_EQ(actual.size(), count);
    EXPECT_EQ(actual.empty(), count == 0);
    EXPECT_EQ(actual.spilled(), count > Inline);
    std::size_t i = 0;
    for (const std::string& text : actual) {
        EXPECT_EQ(text, item(i));
        EXPECT_EQ(&text, &actual[i]);
        ++i;
    }
    EXPECT_EQ(i, count);
    if (count > 0) {
        EXPECT_EQ(actual.data(), &actual[0]);
    }
}

const std::size_t sizes[] = {0, 1, 2, 3, 7};

class InlineVectorTest : public testing::TestWithParam<std::size_t> {};

template <std::size_t Inline>
void check_building(std::size_t count) {
    expect_items(appended<Inline>(count), count);
    expect_items(InlineVector<std::string, Inline>(items(count)), count);
    // An item of the container itself may be appended: it is read before the items move.
    InlineVector<std::string, Inline> growing = appended<Inline>(count);
    if (count > 0) {
        growing.push_back(growing[count - 1]);
        ASSERT_EQ(growing.size(), count + 1);
        EXPECT_EQ(growing[count], item(count - 1));
        EXPECT_EQ(growing[count - 1], item(count - 1));
    }
}

TEST_P(InlineVectorTest, HoldsWhatWasAppendedInOrder) {
    check_building<1>(GetParam());
    check_building<2>(GetParam());
}

template <std::size_t Inline>
void check_copies(std::size_t count) {
    const InlineVector<std::string, Inline> original = appended<Inline>(count);
    const InlineVector<std::string, Inline> copy = original;
    expect_items(copy, count);
    expect_items(original, count);
    if (count > 0) {
        EXPECT_NE(copy.data(), original.data());
    }
    for (const std::size_t other : sizes) {
        InlineVector<std::string, Inline> assigned = appended<Inline>(other);
        assigned = original;
        expect_items(assigned, count);
        expect_items(original, count);
    }
}

TEST_P(InlineVectorTest, CopiesAreEqualAndIndependent) {
    check_copies<1>(GetParam());
    check_copies<2>(GetParam());
}

template <std::size_t Inline>
void check_moves(std::size_t count) {
    InlineVector<std::string, Inline> source = appended<Inline>(count);
    const InlineVector<std::string, Inline> moved = std::move(source);
    expect_items(moved, count);
    for (const std::size_t other : sizes) {
        InlineVector<std::string, Inline> from = appended<Inline>(count);
        InlineVector<std::string, Inline> assigned = appended<Inline>(other);
        assigned = std::move(from);
        expect_items(assigned, count);
    }
}

TEST_P(InlineVectorTest, MovesKeepTheItems) {
    check_moves<1>(GetParam());
    check_moves<2>(GetParam());
}

template <std::size_t Inline>
void check_equality(std::size_t count) {
    const InlineVector<std::string, Inline> built = appended<Inline>(count);
    EXPECT_TRUE((built == InlineVector<std::string, Inline>(items(count))));
    for (const std::size_t other : sizes) {
        EXPECT_EQ(built == appended<Inline>(other), other == count) << "against " << other << " items";
    }
    if (count > 0) {
        InlineVector<std::string, Inline> changed = built;
        changed[count - 1] += " changed";
        EXPECT_FALSE(built == changed);
        EXPECT_FALSE(changed == built);
    }
}

TEST_P(InlineVectorTest, EqualExactlyForEqualItemsInlineOrNot) {
    check_equality<1>(GetParam());
    check_equality<2>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sizes, InlineVectorTest, testing::ValuesIn(sizes));

TEST(InlineVector, BracedListsBuildIt) {
    const InlineVector<std::string, 1> none{};
    const InlineVector<std::string, 1> one{item(0)};
    const InlineVector<std::string, 1> three{item(0), item(1), item(2)};
    expect_items(none, 0);
    expect_items(one, 1);
    expect_items(three, 3);
}

}  // namespace
}  // namespace quarnel::ast
