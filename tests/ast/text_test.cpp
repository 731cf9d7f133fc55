#include "ast/text.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

// Lost or doubly freed far texts show under the sanitizer and valgrind runs.

namespace quarnel::ast {
namespace {

struct TextCase {
    const char* name;
    std::string bytes;
};
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

std::string counted(std::size_t size) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

class TextTest : public testing::TestWithParam<TextCase> {};

// Each size class of the inline copy, the last inline size and the first far one, and bytes
// that a C string or a signed char would mishandle.
INSTANTIATE_TEST_SUITE_P(
    Sizes, TextTest,
    testing::Values(TextCase{"empty", ""}, TextCase{"one", "a"}, TextCase{"three", "abc"},
                    TextCase{"four", "abcd"}, TextCase{"seven", counted(7)}, TextCase{"eight", counted(8)},
                    TextCase{"fifteen", counted(15)}, TextCase{"sixteen", counted(16)},
                    TextCase{"long", counted(300)}, TextCase{"nul_and_high_bytes", std::string("a\0\x80\xff", 4)},
                    TextCase{"fifteen_high_bytes", std::string(15, '\xff')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(TextTest, KeepsItsBytesThroughCopiesAndMoves) {
    const std::string& bytes = GetParam().bytes;
    const Text text(bytes);
    EXPECT_EQ(text.view(), bytes);
    EXPECT_EQ(text.size(), bytes.size());
    EXPECT_EQ(text.empty(), bytes.empty());

    Text copy = text;
    EXPECT_EQ(copy, text);
    Text moved = std::move(copy);
    EXPECT_EQ(moved.view(), bytes);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from text is empty

    Text assigned(counted(40));  // a far text replaced by each kind
    assigned = text;
    EXPECT_EQ(assigned.view(), bytes);
    assigned = Text(counted(40));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.view(), bytes);
}

TEST_P(TextTest, OrdersAndComparesAsItsBytes) {
    const std::string& bytes = GetParam().bytes;
    const Text text(bytes);
    for (const std::string& other : {std::string(), std::string("m"), counted(16), bytes + "z"}) {
        EXPECT_EQ(text == Text(other), bytes == other) << other;
        EXPECT_EQ(text == std::string_view(other), bytes == other) << other;
        EXPECT_EQ(text <=> Text(other), std::string_view(bytes) <=> std::string_view(other)) << other;
    }
}

// Short texts are gathered from overlapping loads and shifted into place, differently for
// each size: every size up to the first far one, from a buffer whose neighbouring bytes must
// not leak in, and through a move, which copies the stored words.
TEST(Text, EveryInlineSizeKeepsExactlyItsBytes) {
    std::string around(1, '\xff');
    around.append(counted(Text::inline_capacity + 1)).push_back('\xfe');
    for (std::size_t size = 0; size <= Text::inline_capacity + 1; ++size) {
        const std::string_view bytes = std::string_view(around).substr(1, size);
        Text text(bytes);
        EXPECT_EQ(text.view(), bytes) << size;
        const Text moved = std::move(text);
        EXPECT_EQ(moved.view(), bytes) << size;
        EXPECT_EQ(moved.size(), size);
    }
}

// A short text of a larger buffer is read sixteen bytes at a time and masked when that many
// may be read, and copied by its length, as any text, when the buffer ends sooner: each
// size, with every distance to the buffer's end from none to more than sixteen bytes. The
// buffer is exactly as large as the bytes that may be read, so the sanitizer run catches a
// read past it.
TEST(Text, ShortWithinKeepsExactlyItsBytes) {
    for (std::size_t size = 0; size <= Text::inline_capacity; ++size) {
        for (std::size_t after = 0; after <= 17; ++after) {
            const std::string source = '\xff' + counted(size) + std::string(after, '\xfe');
            const auto buffer = std::make_unique<char[]>(source.size());
            source.copy(buffer.get(), source.size());
            const std::string_view bytes(buffer.get() + 1, size);
            Text text = Text::short_within(bytes, buffer.get() + source.size());
            EXPECT_EQ(text.view(), bytes) << size << " " << after;
            EXPECT_EQ(text, Text(bytes)) << size << " " << after;
            const Text moved = std::move(text);
            EXPECT_EQ(moved.view(), bytes) << size << " " << after;
        }
    }
}

TEST(Text, WrittenInlineTakesTheCountWritten) {
    const Text text = Text::written_inline([](char* out) {
        std::string_view("abcdefghijklmno").copy(out, Text::inline_capacity);
        return std::size_t{15};
    });
    EXPECT_EQ(text, "abcdefghijklmno");
    EXPECT_EQ(Text::written_inline([](char*) { return std::size_t{0}; }), "");
}

TEST(Text, JoinsWithStrings) {
    const Text text("property");
    EXPECT_EQ('\'' + text + '\'', "'property'");
    EXPECT_EQ(std::string("a.") + text, "a.property");
    EXPECT_EQ(text.str(), "property");
    EXPECT_TRUE(text.starts_with("prop"));
}

}  // namespace
}  // namespace quarnel::ast
