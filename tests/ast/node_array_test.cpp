#include "ast/node_array.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>

#include "ast/node_memory.hpp"
#include "sequence_items.hpp"

// Leaks and use after free show under the sanitizer and valgrind runs of these cases.

namespace quarnel::ast {
namespace {

using Strings = NodeArray<std::string>;
using testing_items::item;

void expect_items(const Strings& actual, std::size_t count) {
    ASSERT_EQ(actual.size(), count);
    EXPECT_EQ(actual.empty(), count == 0);
    std::size_t i = 0;
    for (const std::string& text : actual) {
        EXPECT_EQ(text, item(i));
        EXPECT_EQ(&text, &actual[i]);
        ++i;
    }
}

// Appended one by one, past the first array and every regrowth after it.
Strings appended(std::size_t count) {
    return testing_items::appended<Strings>(count);
}

class NodeArrayTest : public testing::TestWithParam<std::size_t> {};

TEST_P(NodeArrayTest, KeepsItsItemsThroughGrowthCopiesAndMoves) {
    const std::size_t count = GetParam();
    const Strings original = appended(count);
    expect_items(original, count);

    Strings copy = original;
    expect_items(copy, count);
    EXPECT_EQ(copy, original);
    Strings moved = std::move(copy);
    expect_items(moved, count);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from array is empty

    Strings assigned = appended(count + 3);
    assigned = original;
    EXPECT_EQ(assigned, original);
    assigned = appended(count + 1);
    expect_items(assigned, count + 1);
    EXPECT_NE(assigned, original);
}

TEST_P(NodeArrayTest, AppendsAnItemOfItsOwnWhileItGrows) {
    const std::size_t count = GetParam();
    if (count == 0) GTEST_SKIP() << "nothing to append from";
    Strings growing = appended(count);
    while (growing.size() < growing.capacity()) growing.push_back(growing.back());
    growing.push_back(growing[0]);  // read before the items move
    EXPECT_EQ(growing.back(), item(0));
    EXPECT_EQ(growing[count - 1], item(count - 1));
}

// In a slot of a node block, the items are freed with the block's slot, whichever of the two
// goes first; an array that outgrows its slot gives it back and goes on in memory of its own.
TEST_P(NodeArrayTest, LivesInABlockSlotAndMayOutgrowIt) {
    const std::size_t count = GetParam();
    constexpr std::size_t room_for = 4;
    Strings kept;
    {
        NodeBlock block(2, 256);
        for (const std::size_t made : {count, room_for}) {
            void* const room = block.slot_room(room_for * sizeof(std::string));
            ASSERT_NE(room, nullptr);
            Strings in_slot = Strings::in_room(room, room_for);
            for (std::size_t i = 0; i < made; ++i) in_slot.emplace_back(item(i));
            expect_items(in_slot, made);
            if (made == count) kept = std::move(in_slot);
        }
        EXPECT_EQ(block.slot_room(1), nullptr);  // both slots given
        EXPECT_TRUE(block.owns_all());
    }
    expect_items(kept, count);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NodeArrayTest, testing::Values(0, 1, 4, 5, 9));

}  // namespace
}  // namespace quarnel::ast
