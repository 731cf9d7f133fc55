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

const Text& object_of(const PatternExpr& expr) {
    return std::get<ComparisonExpr::Comparison>(std::get<PatternExpr::Observation>(expr.value).value)
        .object_path.object_type;
}

constexpr std::size_t slot = std::max(sizeof(PatternExpr), sizeof(ComparisonExpr));
// Enough slots for more than 4 MiB with their headers, whatever a node's size: the block
// then takes its chunks as mappings of their own.
constexpr std::size_t mapped_capacity = (std::size_t{12} << 20) / slot;

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
                                         // Past 4 MiB of slots, chunks are mappings of their own.
                                         BlockCase{"mapped_chunks", mapped_capacity, mapped_capacity,
                                                   mapped_capacity / 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NodeBlock, ATypeLargerThanASlotStandsAlone) {
    NodeBlock block(4, 8);
    const auto node = block.make<PatternExpr>(observation("x"));
    EXPECT_EQ(object_of(*node), "x");
}

// A text of `size` bytes made from the block's text room, as the builder makes them.
Text text_from(NodeBlock& block, const std::string& bytes) {
    char* const room = block.text_room(bytes.size());
    EXPECT_NE(room, nullptr);
    bytes.copy(room, bytes.size());
    block.text_taken(bytes.size());
    return Text::adopt(room, bytes.size());
}

std::string text_bytes(std::size_t i, std::size_t size) {
    std::string bytes = "text " + std::to_string(i) + " ";
    bytes.resize(size, static_cast<char>('a' + i % 26));
    return bytes;
}

struct TextRoomCase {
    const char* name;
    std::size_t capacity;    // node slots, made and kept alongside the texts
    std::size_t text_bytes;  // the room the first chunk offers
    std::size_t count;
    std::size_t size;
    std::size_t freed_early;  // texts freed while the block is still held
};

class NodeBlockTexts : public testing::TestWithParam<TextRoomCase> {};

// Texts keep their bytes whether they came from the first chunk, behind its nodes, or from
// chunks of their own, and go in any order with the nodes and the block.
TEST_P(NodeBlockTexts, TextsOutliveOrPrecedeTheirBlock) {
    const TextRoomCase& c = GetParam();
    std::vector<Text> texts;
    std::vector<std::unique_ptr<PatternExpr>> nodes;
    {
        NodeBlock block(c.capacity, slot, 0, c.text_bytes);
        for (std::size_t i = 0; i < c.count; ++i) {
            texts.push_back(text_from(block, text_bytes(i, c.size)));
            if (i < c.capacity) nodes.push_back(block.make<PatternExpr>(observation("node")));
        }
        for (std::size_t i = 0; i < c.freed_early; ++i) {
            texts[i] = Text();
        }
        // Room asked for and not taken stays free for the next text.
        ASSERT_NE(block.text_room(c.size * 2), nullptr);
    }
    for (std::size_t i = c.freed_early; i < c.count; ++i) {
        EXPECT_EQ(texts[i], text_bytes(i, c.size));
    }
    nodes.clear();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NodeBlockTexts,
    testing::Values(TextRoomCase{"behind_nodes", 3, 512, 4, 20, 0},
                    TextRoomCase{"behind_nodes_freed_while_held", 3, 512, 4, 20, 4},
                    TextRoomCase{"no_nodes", 0, 512, 4, 20, 1},
                    TextRoomCase{"room_overflows_into_own_chunks", 2, 64, 20, 24, 5},
                    TextRoomCase{"no_room_offered", 2, 0, 5, 17, 2},
                    TextRoomCase{"text_larger_than_the_room", 1, 64, 2, 1000, 1},
                    // A text past a huge page takes a mapping of its own.
                    TextRoomCase{"mapped_text", 1, 64, 2, std::size_t{3} << 20, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A parsed tree's nodes share one block: copies (made node by node) and the original may
// go in any order and on any thread.
TEST(NodeBlock, ParsedTreesMayBeCopiedAndDestroyedAnywhere) {
    std::string text = "[a:b = 1]";
    for (int i = 0; i < 50; ++i) {
        text += " OR ([c:d = 'x'] AND [file:hashes.'SHA-256' = 'a text constant long enough to lie in the block']"
                " REPEATS 3 TIMES)";
    }
    auto parsed = parser::parse_pattern(text);
    ASSERT_TRUE(parsed.ok());
    auto original = std::make_unique<PatternExpr>(std::move(parsed).value());
    const PatternExpr copy = *original;
    std::thread([tree = std::move(original)]() mutable { tree.reset(); }).join();
    EXPECT_EQ(copy, parser::parse_pattern(text).value());
}

// An operand moved out of a parsed tree keeps its texts, which lie in the tree's block,
// once the rest of the tree is gone.
TEST(NodeBlock, OperandsMovedOutKeepTheirTexts) {
    const std::string constant = "a text constant long enough to lie in the block";
    auto parsed = parser::parse_pattern("[x-long-object-type-name:b = 'first constant over sixteen'] AND [c:'d' = '" +
                                        constant + "']");
    ASSERT_TRUE(parsed.ok());
    std::unique_ptr<PatternExpr> right;
    {
        PatternExpr tree = std::move(parsed).value();
        right = std::move(std::get<CompositePattern>(tree.value).right);
    }
    const auto& comparison = std::get<Comparison>(std::get<PatternExpr::Observation>(right->value).value);
    EXPECT_EQ(std::get<StixValue::String>(std::get<ComparisonRhs::Value>(comparison.constant->value).value), constant);
}

// A parse shared as a constant is dropped with its block. Its nodes and texts span several
// chunks, the last operand alone may keep the whole tree, and dropping it on another thread
// frees what the tree owns whether or not that all lies in the block.
struct SharedCase {
    const char* name;
    std::size_t operands;
    const char* odd_operand;  // every tenth operand instead of a plain one
};

std::string shared_chain(const SharedCase& c) {
    std::string text;
    for (std::size_t i = 0; i < c.operands; ++i) {
        if (i != 0) text += " OR ";
        text += i % 10 == 5 && *c.odd_operand != '\0'
                    ? std::string(c.odd_operand)
                    : "[x:y = 'a text constant long enough to lie in the block, number " + std::to_string(i) + "']";
    }
    return text;
}

class SharedTrees : public testing::TestWithParam<SharedCase> {};

TEST_P(SharedTrees, MatchTheTreeByValueAndOutliveTheirRootHandle) {
    const std::string text = shared_chain(GetParam());
    const auto plain = parser::parse_pattern(text);
    auto shared = parser::parse_shared_pattern(text);
    ASSERT_TRUE(plain.ok() && shared.ok());
    EXPECT_EQ(*shared.value(), plain.value());
    if (GetParam().operands < 2) return;
    const std::shared_ptr<const PatternExpr> last(
        shared.value(), std::get<CompositePattern>(shared.value()->value).right.get());
    std::thread([root = std::move(shared).value()]() mutable { root.reset(); }).join();
    EXPECT_EQ(*last, *std::get<CompositePattern>(plain.value().value).right);
}

INSTANTIATE_TEST_SUITE_P(
    Parses, SharedTrees,
    testing::Values(SharedCase{"one_observation", 1, ""}, SharedCase{"short_chain", 12, ""},
                    // Past a MiB of nodes: several chunks from the heap, and texts in their own.
                    SharedCase{"chunks_on_the_heap", 8000, ""},
                    // Past 4 MiB: mapped chunks.
                    SharedCase{"mapped_chunks", 16000, ""},
                    // Short lists and paths of a few steps lie in the block; longer ones outside,
                    // and then the tree is destroyed node by node.
                    SharedCase{"with_lists", 8000, "[x:y IN ('a text constant long enough', 'b')]"},
                    SharedCase{"with_long_paths", 30, "[x:a.b[*].c = 1]"},
                    SharedCase{"with_lists_too_long_for_a_slot", 300,
                               "[x:y IN ('a text constant long enough', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k')]"},
                    SharedCase{"with_paths_too_long_for_a_slot", 300,
                               "[x:a.b.c.d.e.f.g.h.i.j.a_property_name_long_enough[7] = 1]"}),
    [](const auto& info) { return std::string(info.param.name); });

Text& object_in(PatternExpr& expr) {
    return std::get<ComparisonExpr::Comparison>(std::get<PatternExpr::Observation>(expr.value).value)
        .object_path.object_type;
}

struct AbandonCase {
    const char* name;
    std::size_t capacity;
    std::size_t chunk_slots;  // 0: the block's own choice
    std::size_t text_bytes;   // the room for texts offered
    std::size_t text_size;    // of the text each node takes from the block (0: none)
    std::size_t freed_early;  // nodes freed while the block is built, as a fold cut short does
};

class NodeBlockAbandon : public testing::TestWithParam<AbandonCase> {};

// A tree that owns nothing outside its block is dropped by freeing every chunk at once,
// nodes and texts, on the heap or mapped, including chunks whose nodes were all freed
// before: its nodes are never destroyed.
TEST_P(NodeBlockAbandon, FreesEveryChunkAtOnce) {
    const AbandonCase& c = GetParam();
    NodeBlock block(c.capacity, slot, c.chunk_slots, c.text_bytes);
    std::vector<PatternExpr*> tree;  // the block's from now on
    for (std::size_t i = 0; i < c.capacity; ++i) {
        auto node = block.make<PatternExpr>(observation("x"));
        if (c.text_size != 0) object_in(*node) = text_from(block, text_bytes(i, c.text_size));
        if (i < c.freed_early) {
            node.reset();
        } else {
            tree.push_back(node.release());
        }
    }
    ASSERT_TRUE(block.owns_all());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        EXPECT_EQ(object_of(*tree[i]), c.text_size != 0 ? text_bytes(c.freed_early + i, c.text_size) : "x");
    }
    block.finish().abandon();
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, NodeBlockAbandon,
    testing::Values(AbandonCase{"empty", 0, 0, 0, 0, 0}, AbandonCase{"one_chunk", 4, 0, 0, 0, 0},
                    AbandonCase{"texts_behind_nodes", 4, 0, 256, 20, 1},
                    AbandonCase{"texts_in_chunks_of_their_own", 6, 2, 64, 40, 0},
                    AbandonCase{"first_chunk_freed_while_built", 6, 2, 0, 0, 2},
                    AbandonCase{"mapped_chunks", mapped_capacity, 0, 0, 0, mapped_capacity / 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct GrowingCase {
    const char* name;
    NodeBlock::FirstChunk first;
    std::size_t nodes;      // made, each with a text of its own from the block
    std::size_t text_size;  // 0: no texts
    bool abandoned;         // dropped whole, else node by node after the block
};

class GrowingBlock : public testing::TestWithParam<GrowingCase> {};

// A block that knows only bounds starts small and grows by chunks of twice the slots: its
// nodes and texts keep their values across the chunks, whether the tree is dropped whole
// or its nodes outlive the block.
TEST_P(GrowingBlock, KeepsNodesAndTextsAcrossItsChunks) {
    const GrowingCase& c = GetParam();
    std::vector<std::unique_ptr<PatternExpr>> kept;
    std::vector<PatternExpr*> abandoned;
    {
        NodeBlock block(c.nodes + 8, slot, 2 * c.nodes * (c.text_size + 16) + 64, c.first);
        for (std::size_t i = 0; i < c.nodes; ++i) {
            auto node = block.make<PatternExpr>(observation("x"));
            if (c.text_size != 0) object_in(*node) = text_from(block, text_bytes(i, c.text_size));
            kept.push_back(std::move(node));
        }
        ASSERT_TRUE(block.owns_all());
        for (std::size_t i = 0; i < c.nodes; ++i) {
            EXPECT_EQ(object_of(*kept[i]), c.text_size != 0 ? text_bytes(i, c.text_size) : "x");
        }
        if (c.abandoned) {
            for (auto& node : kept) abandoned.push_back(node.release());
            block.finish().abandon();
        }
    }
    for (std::size_t i = 0; i < kept.size() && !c.abandoned; ++i) {
        EXPECT_EQ(object_of(*kept[i]), c.text_size != 0 ? text_bytes(i, c.text_size) : "x");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, GrowingBlock,
    testing::Values(GrowingCase{"nothing_made", {4, 64}, 0, 0, false},
                    GrowingCase{"within_the_first_chunk", {4, 256}, 3, 20, false},
                    GrowingCase{"nodes_past_the_first_chunk", {2, 256}, 40, 0, false},
                    GrowingCase{"texts_past_the_first_room", {8, 32}, 6, 40, false},
                    GrowingCase{"both_past_the_first_chunk_dropped_whole", {2, 32}, 50, 24, true},
                    GrowingCase{"mapped_chunks_dropped_whole", {64, 0}, mapped_capacity, 0, true},
                    // Asked for more than a huge page, the first chunk stays on the heap.
                    GrowingCase{"first_chunk_asked_past_a_huge_page", {mapped_capacity, 0}, mapped_capacity, 24, false}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Drop { whole, nodes_first, chunks_first };

struct FinishCase {
    const char* name;
    std::size_t nodes;      // made, each with a text of its own from the block
    std::size_t text_size;  // 0: no texts
    Drop drop;
};

class FinishedBlock : public testing::TestWithParam<FinishCase> {};

// A finished block hands its chunks over to the tree it built: they outlive the block, and
// go all at once, or with the last of the tree's nodes whichever goes first.
TEST_P(FinishedBlock, ItsChunksOutliveIt) {
    const FinishCase& c = GetParam();
    std::vector<std::unique_ptr<PatternExpr>> kept;
    auto chunks = std::make_unique<NodeBlock::Chunks>();
    EXPECT_FALSE(chunks->owns_all());  // a tree built without chunks goes node by node
    {
        NodeBlock block(c.nodes + 8, slot, 2 * c.nodes * (c.text_size + 16) + 64, NodeBlock::FirstChunk{2, 32});
        for (std::size_t i = 0; i < c.nodes; ++i) {
            auto node = block.make<PatternExpr>(observation("x"));
            if (c.text_size != 0) object_in(*node) = text_from(block, text_bytes(i, c.text_size));
            kept.push_back(std::move(node));
        }
        *chunks = block.finish();
    }
    ASSERT_EQ(chunks->owns_all(), true);
    const auto expect_values = [&] {
        for (std::size_t i = 0; i < c.nodes; ++i) {
            EXPECT_EQ(object_of(*kept[i]), c.text_size != 0 ? text_bytes(i, c.text_size) : "x");
        }
    };
    expect_values();
    switch (c.drop) {
        case Drop::whole:
            for (auto& node : kept) (void)node.release();
            chunks->abandon();
            break;
        case Drop::nodes_first:
            kept.clear();
            chunks.reset();
            break;
        case Drop::chunks_first:
            chunks.reset();
            expect_values();
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, FinishedBlock,
    testing::Values(FinishCase{"nothing_made", 0, 0, Drop::nodes_first},
                    FinishCase{"one_chunk_dropped_whole", 1, 20, Drop::whole},
                    FinishCase{"chunks_dropped_whole", 60, 24, Drop::whole},
                    FinishCase{"nodes_before_their_chunks", 60, 24, Drop::nodes_first},
                    FinishCase{"chunks_before_their_nodes", 60, 24, Drop::chunks_first}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NodeBlock, ANodeOnItsOwnLeavesTheTreeOwningMore) {
    NodeBlock block(1, slot);
    const auto inside = block.make<PatternExpr>(observation("x"));
    EXPECT_TRUE(block.owns_all());
    const auto alone = block.make<PatternExpr>(observation("y"));
    EXPECT_FALSE(block.owns_all());
}

struct TeardownCase {
    const char* name;
    std::size_t chunk_slots;   // of the block the nodes come from
    std::size_t alone_every;   // every so many nodes stands alone instead (0: none)
    bool nested;               // operands that are chains themselves, not leaves
};

class TreeTeardown : public testing::TestWithParam<TeardownCase> {};

// A tree is freed in runs of nodes of one chunk: its nodes may come from several chunks, or
// stand alone, in any order, and an operand taken out first must outlive the rest.
TEST_P(TreeTeardown, FreesNodesOfEveryOrigin) {
    const TeardownCase& c = GetParam();
    constexpr std::size_t operands = 40;
    std::unique_ptr<PatternExpr> kept;
    {
        NodeBlock block(4 * operands, slot, c.chunk_slots);
        std::size_t made = 0;
        const auto node = [&](PatternExpr expr) {
            ++made;
            return c.alone_every != 0 && made % c.alone_every == 0 ? std::make_unique<PatternExpr>(std::move(expr))
                                                                   : block.make<PatternExpr>(std::move(expr));
        };
        const auto pair = [&](PatternExpr left, PatternExpr right) {
            return PatternExpr{CompositePattern(node(std::move(left)), ObservationOp::AND, node(std::move(right)))};
        };
        PatternExpr tree = observation("operand-0");
        for (std::size_t i = 1; i < operands; ++i) {
            PatternExpr operand = observation("operand-" + std::to_string(i));
            if (c.nested) operand = pair(std::move(operand), observation("nested-" + std::to_string(i)));
            tree = pair(std::move(tree), std::move(operand));
        }
        kept = std::move(std::get<CompositePattern>(tree.value).right);
    }
    const PatternExpr& last = c.nested ? *std::get<CompositePattern>(kept->value).left : *kept;
    EXPECT_EQ(object_of(last), "operand-" + std::to_string(operands - 1));
}

INSTANTIATE_TEST_SUITE_P(Trees, TreeTeardown,
                         testing::Values(TeardownCase{"chain_in_one_chunk", 0, 0, false},
                                         TeardownCase{"nested_in_one_chunk", 0, 0, true},
                                         TeardownCase{"chunk_per_node", 1, 0, true},
                                         TeardownCase{"chunks_of_three", 3, 0, false},
                                         TeardownCase{"some_alone", 0, 3, true},
                                         TeardownCase{"alternately_alone", 2, 2, false},
                                         TeardownCase{"all_alone", 0, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarnel::ast
