// A sequence that keeps its first `Inline` items inside itself and moves them all to an
// array of their own only when one more comes. Most object paths have one or two steps:
// with them inline, a comparison needs no allocation of its own for its path.
//
// The storage is a variant of one array per inline size and a NodeArray: the variant's
// index is the size while the items are inline, so the container needs no count of its own.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ast/node_array.hpp"

namespace quarnel::ast {

template <typename T, std::size_t Inline>
class InlineVector {
    static_assert(Inline >= 1);
    // Moving items from one storage to the next must not throw: a variant left without a
    // value would have no size.
    static_assert(std::is_nothrow_move_constructible_v<T>);
    // Nor may making the first item in place, which replaces the empty storage first.
    static_assert(std::is_nothrow_default_constructible_v<T>);

    template <typename Sizes>
    struct StorageFor;
    template <std::size_t... Sizes>
    struct StorageFor<std::index_sequence<Sizes...>> {
        using type = std::variant<std::array<T, Sizes>..., NodeArray<T>>;
    };
    using Storage = typename StorageFor<std::make_index_sequence<Inline + 1>>::type;
    static constexpr std::size_t on_heap = Inline + 1;  // the array's index in the variant

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;
    static constexpr std::size_t inline_capacity = Inline;

    InlineVector() = default;
    InlineVector(std::initializer_list<T> items) {
        for (const T& item : items) {
            emplace_back(item);
        }
    }
    // Short enough, the items move inline; otherwise to an array of their own.
    InlineVector(std::vector<T> items) {
        if (items.size() > Inline) {
            storage_.template emplace<on_heap>().reserve(items.size());
        }
        for (T& item : items) {
            emplace_back(std::move(item));
        }
    }
    InlineVector(const InlineVector&) = default;
    InlineVector& operator=(const InlineVector&) = default;
    InlineVector(InlineVector&&) noexcept = default;
    // Out of line: inlined, it tips GCC 12 into a false -Wrestrict warning on string code
    // in a caller. Trees are built by construction, so this is rarely called.
    [[gnu::noinline]] InlineVector& operator=(InlineVector&& other) noexcept {
        storage_ = std::move(other.storage_);
        return *this;
    }
    ~InlineVector() = default;

    size_type size() const {
        const std::size_t index = storage_.index();
        return index < on_heap ? index : std::get_if<on_heap>(&storage_)->size();
    }
    bool empty() const { return size() == 0; }
    // Whether the items live in an array of their own.
    bool spilled() const { return storage_.index() == on_heap; }

    // Moves the items, all inline, to `array`, an empty one with room for more (from a
    // parse's node block, say), where those to come follow them.
    void spill_into(NodeArray<T> array) {
        std::visit(
            [&](auto& items) {
                for (T& item : items) {
                    array.emplace_back(std::move(item));
                }
            },
            storage_);
        storage_.template emplace<on_heap>(std::move(array));
    }

    T* data() {
        return std::visit([](auto& items) { return items.data(); }, storage_);
    }
    const T* data() const {
        return std::visit([](const auto& items) { return items.data(); }, storage_);
    }
    iterator begin() { return data(); }
    iterator end() { return data() + size(); }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size(); }

    T& operator[](size_type i) { return data()[i]; }
    const T& operator[](size_type i) const { return data()[i]; }

    template <typename... Args>
    T& emplace_back(Args&&... args) {
        return std::visit([&](auto& items) -> T& { return append(items, std::forward<Args>(args)...); },
                          storage_);
    }
    void push_back(const T& item) { emplace_back(item); }
    void push_back(T&& item) { emplace_back(std::move(item)); }

    // Equal items in the same order, wherever each side keeps them.
    friend bool operator==(const InlineVector& a, const InlineVector& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    template <typename... Args>
    T& append(NodeArray<T>& items, Args&&... args) {
        return items.emplace_back(std::forward<Args>(args)...);
    }

    template <std::size_t Size, typename... Args>
    T& append(std::array<T, Size>& items, Args&&... args) {
        if constexpr (Size == 0 && sizeof...(Args) == 0) {
            // The builder's call: the new item is made in its place.
            return storage_.template emplace<1>()[0];
        } else {
            // Made before the items move, in case the arguments refer to one of them.
            return moved_up(items, T(std::forward<Args>(args)...));
        }
    }

    // The items and then `added` in the next larger storage (past the inline ones, an array
    // of their own, which the items spill into).
    template <std::size_t Size>
    T& moved_up([[maybe_unused]] std::array<T, Size>& items, T added) {
        if constexpr (Size < Inline) {
            return grown(items, std::move(added), std::make_index_sequence<Size>{});
        } else {
            NodeArray<T> heap;
            heap.reserve(Inline + 1);
            spill_into(std::move(heap));
            return std::get<on_heap>(storage_).emplace_back(std::move(added));
        }
    }

    template <std::size_t Size, std::size_t... I>
    T& grown(std::array<T, Size>& items, T&& added, std::index_sequence<I...>) {
        std::array<T, Size + 1> next{std::move(items[I])..., std::move(added)};
        return storage_.template emplace<Size + 1>(std::move(next))[Size];
    }

    Storage storage_;
};

}  // namespace quarnel::ast
