// The texts of the syntax tree: object types, property names and text constants. A text of
// up to 15 bytes lies inside the object; a longer one lies elsewhere, with the word before
// its bytes naming where (see node_memory.hpp): on the heap of its own, or, for texts a
// parse makes, in the node block of that parse, so that building a tree costs no
// allocation per long text and tearing it down no call to free.
#pragma once

#include <bit>
#include <cassert>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "ast/node_memory.hpp"

namespace quarnel::ast {

class Text {
public:
    static constexpr std::size_t inline_capacity = 15;

    Text() noexcept = default;
    Text(std::string_view text) {
        if (text.size() <= inline_capacity) {
            set_inline(text);
        } else {
            set_far_copy(text);
        }
    }
    Text(const std::string& text) : Text(std::string_view(text)) {}
    Text(const char* text) : Text(std::string_view(text)) {}

    Text(const Text& other) : Text(other.view()) {}
    Text(Text&& other) noexcept { take(other); }
    Text& operator=(const Text& other) {
        if (this != &other) *this = Text(other);
        return *this;
    }
    Text& operator=(Text&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~Text() { release(); }

    // Takes over `bytes`, memory of a node block or of node_memory::allocate_single with
    // its header in front, of which the first `size` bytes are the text.
    static Text adopt(const char* bytes, std::size_t size) noexcept {
        Text text;
        text.store_words(reinterpret_cast<std::uintptr_t>(bytes), size | far_flag);
        return text;
    }

    // A short text whose buffer may be read up to `readable_end`: with 16 bytes readable it
    // is gathered with two loads and masks, and no branch on its length, whose outcome
    // varies from text to text.
    static Text short_within(std::string_view text, const char* readable_end) noexcept {
        assert(text.size() <= inline_capacity);
        Text result;
        const std::size_t size = text.size();
        const char* const from = text.data();
        if (readable_end - from < 16) [[unlikely]] {
            result.set_inline(text);
            return result;
        }
        const unsigned char* const keep = keep_first + 16 - size;
        const std::uint64_t low = load<std::uint64_t>(from) & load<std::uint64_t>(keep);
        const std::uint64_t high = load<std::uint64_t>(from + 8) & load<std::uint64_t>(keep + 8);
        result.store_words(low, high | std::uint64_t{size} << 56);
        return result;
    }

    // A short text that `write` puts in place: given room for inline_capacity bytes, it
    // returns how many it wrote.
    template <typename Write>
    static Text written_inline(Write write) {
        Text text;
        const std::size_t size = write(reinterpret_cast<char*>(text.raw_));
        assert(size <= inline_capacity);  // more would also set the far flag
        text.raw_[inline_capacity] = static_cast<unsigned char>(size);
        return text;
    }

    const char* data() const { return is_far() ? far_data() : reinterpret_cast<const char*>(raw_); }
    std::size_t size() const { return is_far() ? far_size() : raw_[inline_capacity]; }
    bool empty() const { return size() == 0; }
    std::string_view view() const { return {data(), size()}; }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(view()); }

    bool starts_with(std::string_view prefix) const { return view().starts_with(prefix); }

    friend bool operator==(const Text& a, const Text& b) { return a.view() == b.view(); }
    friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const Text& a, const char* b) { return a.view() == b; }
    friend bool operator==(const Text& a, const std::string& b) { return a.view() == b; }
    friend std::strong_ordering operator<=>(const Text& a, const Text& b) { return a.view() <=> b.view(); }
    friend std::strong_ordering operator<=>(const Text& a, std::string_view b) { return a.view() <=> b; }
    friend std::string operator+(std::string a, const Text& b) { return std::move(a.append(b.view())); }
    friend std::string operator+(char a, const Text& b) { return std::string(1, a).append(b.view()); }
    friend std::ostream& operator<<(std::ostream& out, const Text& text) { return out << text.view(); }

private:
    static_assert(std::endian::native == std::endian::little, "the flag shares the last byte with the inline size");
    // Set in a far text's size, whose top byte is where an inline text keeps its size.
    static constexpr std::uint64_t far_flag = std::uint64_t{1} << 63;

    bool is_far() const { return (raw_[inline_capacity] & 0x80) != 0; }
    const char* far_data() const {
        const char* data;
        std::memcpy(&data, raw_, sizeof data);
        return data;
    }
    std::size_t far_size() const {
        std::uint64_t size;
        std::memcpy(&size, raw_ + 8, sizeof size);
        return size & ~far_flag;
    }
    // A short text is gathered into two words with a few loads, which may overlap, and
    // stored at once, as every move copies it: a move that read back bytes stored one by one
    // would wait for them to leave the store buffer.
    void set_inline(std::string_view text) noexcept {
        const std::size_t size = text.size();
        const char* const from = text.data();
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        if (size >= 8) {
            low = load<std::uint64_t>(from);
            if (size > 8) {
                high = load<std::uint64_t>(from + size - 8) >> (8 * (16 - size));
            }
        } else if (size >= 4) {
            low = load<std::uint32_t>(from) | std::uint64_t{load<std::uint32_t>(from + size - 4)} << (8 * (size - 4));
        } else if (size > 0) {
            low = byte_at(from, 0) | byte_at(from, size / 2) << (8 * (size / 2)) | byte_at(from, size - 1) << (8 * (size - 1));
        }
        store_words(low, high | std::uint64_t{size} << 56);
    }
    // Read from `16 - size` on, the first `size` bytes are all ones and the rest zeros.
    static constexpr unsigned char keep_first[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    template <typename Word>
    static Word load(const void* from) noexcept {
        Word word;
        std::memcpy(&word, from, sizeof word);
        return word;
    }
    static std::uint64_t byte_at(const char* from, std::size_t at) noexcept {
        return static_cast<unsigned char>(from[at]);
    }
    // One store of all 16 bytes, which a move's load of all 16 can take from the store
    // buffer; two stores of a word each would make it wait.
    void store_words(std::uint64_t low, std::uint64_t high) noexcept {
        using Words [[gnu::vector_size(16)]] = std::uint64_t;
        const Words words = {low, high};
        std::memcpy(raw_, &words, sizeof words);
    }
    void set_far_copy(std::string_view text);

    void take(Text& other) noexcept {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.store_words(0, 0);
    }
    void release() noexcept {
        if (is_far()) node_memory::release(const_cast<char*>(far_data()));
    }

    // Inline: the bytes, then their count in the last byte. Far: the address, then the size
    // with far_flag set.
    alignas(8) unsigned char raw_[16] = {};
};

static_assert(sizeof(Text) == 16);

// At least the room in a node block that a text made from `source_bytes` of source may take:
// its bytes are never more than its source's, and a short one takes none. Exact rather than
// generous, so that a small parse's nodes and texts fit a block the allocator's thread
// cache serves.
constexpr std::size_t block_room_for_text(std::size_t source_bytes) {
    return source_bytes > Text::inline_capacity ? NodeBlock::text_footprint(source_bytes) : 0;
}

}  // namespace quarnel::ast
