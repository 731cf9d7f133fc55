#include "ast/node_memory.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ast/ast.hpp"
#include "parser/builder.hpp"

// Leaks and use after free show under the sanitizer and valgrind runs of these cases.

namespace quarnel::ast {
namespace {

PatternExpr observation(std::string object) {
    return PatternExpr{ComparisonExpr{Comparison{ObjectPath{std::move(object), {}}, ComparisonOp::EQ, false,
                                                 ComparisonRhs{StixValue{std::int64_t{1}}}}}};
}

const std::string& object_of(const PatternExpr& expr) {
    return std::get<ComparisonExpr::Comparison>(std::get<PatternExpr::Observation>(expr.value).value)
        .object_path.object_type;
}

constexpr std::size_t slot = std::max(sizeof(PatternExpr), sizeof(ComparisonExpr));
// Enough slots for more than 64 MiB with their headers, whatever a node's size: the block
// then takes its chunks as mappings of their own.
constexpr std::size_t mapped_capacity = (std::size_t{72} << 20) / slot;

struct BlockCase {
    const char* name;
    std::size_t capacity;
    std::size_t made;         // nodes made from the block
    std::size_t freed_early;  // of them, freed while the block is still held
    std::size_t chunk_slots = 0;  // the block's own choice by default
};

class NodeBlockTest : public testing::TestWithParam<BlockCase> {};

// Nodes keep their values whether they came from the block or (past its capacity) stand
// alone, and whichever goes last, node or block, gives the memory back.
TEST_P(NodeBlockTest, NodesOutliveOrPrecedeTheirBlock) {
    std::vector<std::unique_ptr<PatternExpr>> kept;
    {
        NodeBlock block(GetParam().capacity, slot, GetParam().chunk_slots);
        for (std::size_t i = 0; i < GetParam().made; ++i) {
            kept.push_back(block.make<PatternExpr>(observation("type-" + std::to_string(i) + "-long-enough-to-allocate")));
        }
        for (std::size_t i = 0; i < GetParam().freed_early; ++i) {
            kept[i].reset();
        }
        kept.push_back(block.make<PatternExpr>(observation("last")));
    }
    for (std::size_t i = GetParam().freed_early; i < GetParam().made; ++i) {
        EXPECT_EQ(object_of(*kept[i]), "type-" + std::to_string(i) + "-long-enough-to-allocate");
    }
    EXPECT_EQ(object_of(*kept.back()), "last");
}

INSTANTIATE_TEST_SUITE_P(Blocks, NodeBlockTest,
                         testing::Values(BlockCase{"empty_block", 0, 2, 1}, BlockCase{"exact_fit", 3, 2, 0},
                                         BlockCase{"over_capacity", 2, 4, 0},
                                         BlockCase{"all_freed_while_held", 5, 4, 4},
                                         BlockCase{"some_freed_while_held", 5, 5, 2},
                                         BlockCase{"chunks_exact_fit", 6, 6, 0, 2},
                                         BlockCase{"last_chunk_shorter", 5, 5, 0, 2},
                                         BlockCase{"chunks_over_capacity", 4, 7, 0, 3},
                                         BlockCase{"chunks_freed_while_held", 7, 6, 5, 2},
                                         BlockCase{"one_slot_chunks", 3, 3, 1, 1},
                                         // Past 64 MiB of slots, chunks are mappings of their own.
                                         BlockCase{"mapped_chunks", mapped_capacity, mapped_capacity,
                                                   mapped_capacity / 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NodeBlock, ATypeLargerThanASlotStandsAlone) {
    NodeBlock block(4, 8);
    const auto node = block.make<PatternExpr>(observation("x"));
    EXPECT_EQ(object_of(*node), "x");
}

// A parsed tree's nodes share one block: copies (made node by node) and the original may
// go in any order and on any thread.
TEST(NodeBlock, ParsedTreesMayBeCopiedAndDestroyedAnywhere) {
    std::string text = "[a:b = 1]";
    for (int i = 0; i < 50; ++i) text += " OR ([c:d = 'x'] AND [e:f = 2] REPEATS 3 TIMES)";
    auto parsed = parser::parse_pattern(text);
    ASSERT_TRUE(parsed.ok());
    auto original = std::make_unique<PatternExpr>(std::move(parsed).value());
    const PatternExpr copy = *original;
    std::thread([tree = std::move(original)]() mutable { tree.reset(); }).join();
    EXPECT_EQ(copy, parser::parse_pattern(text).value());
}

}  // namespace
}  // namespace quarnel::ast
