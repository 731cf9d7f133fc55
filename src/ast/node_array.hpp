// A sequence of items in one array with a node's header word in front (see node_memory.hpp).
// A parse takes the array from its node block, so that a tree holding it owns nothing
// outside the block and can still be dropped whole; any other array, or one that grows,
// stands on its own. Otherwise it behaves as a vector.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "ast/node_memory.hpp"

namespace quarnel::ast {

template <typename T>
class NodeArray {
    static_assert(alignof(T) <= node_memory::header_size);
    // Growing moves the items, which must not fail halfway.
    static_assert(std::is_nothrow_move_constructible_v<T>);

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    NodeArray() noexcept = default;
    NodeArray(std::initializer_list<T> items) { copy_from(items.begin(), items.size()); }
    NodeArray(const NodeArray& other) { copy_from(other.data(), other.size()); }
    NodeArray(NodeArray&& other) noexcept { take(other); }
    NodeArray& operator=(const NodeArray& other) {
        if (this != &other) *this = NodeArray(other);
        return *this;
    }
    NodeArray& operator=(NodeArray&& other) noexcept {
        if (this != &other) {
            clear_and_release();
            take(other);
        }
        return *this;
    }
    ~NodeArray() { clear_and_release(); }

    // An empty array whose items go to `room`: memory for `capacity` items from the node
    // memory (a block's slot, say), its header written in front. The array frees it.
    static NodeArray in_room(void* room, size_type capacity) noexcept {
        NodeArray array;
        array.items_ = static_cast<T*>(room);
        array.capacity_ = static_cast<std::uint32_t>(capacity);
        return array;
    }

    size_type size() const { return size_; }
    size_type capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* data() { return items_; }
    const T* data() const { return items_; }
    iterator begin() { return items_; }
    iterator end() { return items_ + size_; }
    const_iterator begin() const { return items_; }
    const_iterator end() const { return items_ + size_; }
    T& operator[](size_type i) { return items_[i]; }
    const T& operator[](size_type i) const { return items_[i]; }
    T& front() { return items_[0]; }
    const T& front() const { return items_[0]; }
    T& back() { return items_[size_ - 1]; }
    const T& back() const { return items_[size_ - 1]; }

    void reserve(size_type capacity) {
        if (capacity > capacity_) move_to(allocate(capacity), capacity);
    }
    template <typename... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) return grown_by(std::forward<Args>(args)...);
        T* const item = std::construct_at(items_ + size_, std::forward<Args>(args)...);
        ++size_;
        return *item;
    }
    void push_back(const T& item) { emplace_back(item); }
    void push_back(T&& item) { emplace_back(std::move(item)); }

    friend bool operator==(const NodeArray& a, const NodeArray& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    static constexpr size_type most_items = UINT32_MAX;

    // Memory of its own for `count` items, freed as a node on its own is.
    static T* allocate(size_type count) {
        if (count > most_items) throw std::length_error("NodeArray: too many items");
        return static_cast<T*>(node_memory::allocate_single(count * sizeof(T)));
    }

    // Memory for `count` items that `make` fills, given back should `make` throw.
    template <typename Make>
    static T* allocated_with(size_type count, Make make) {
        T* const items = allocate(count);
        try {
            make(items);
        } catch (...) {
            node_memory::release(items);
            throw;
        }
        return items;
    }

    void copy_from(const T* from, size_type count) {
        if (count == 0) return;
        items_ = allocated_with(count, [&](T* items) { std::uninitialized_copy_n(from, count, items); });
        size_ = capacity_ = static_cast<std::uint32_t>(count);
    }

    // The item is made in the larger array before the items move: the arguments may
    // refer to one of them.
    template <typename... Args>
    T& grown_by(Args&&... args) {
        const size_type capacity = std::max<size_type>(4, size_type{capacity_} * 2);
        T* item = nullptr;
        T* const items = allocated_with(
            capacity, [&](T* room) { item = std::construct_at(room + size_, std::forward<Args>(args)...); });
        move_to(items, capacity);
        ++size_;
        return *item;
    }

    // Moves the items to `items`, room for `capacity` of them.
    void move_to(T* items, size_type capacity) noexcept {
        std::uninitialized_move_n(items_, size_, items);
        const std::uint32_t size = size_;
        clear_and_release();
        items_ = items;
        size_ = size;
        capacity_ = static_cast<std::uint32_t>(capacity);
    }

    // Takes over the items of `other`, which is left empty; this one holds none.
    void take(NodeArray& other) noexcept {
        items_ = std::exchange(other.items_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }

    void clear_and_release() noexcept {
        std::destroy_n(items_, size_);
        node_memory::release(items_);
        items_ = nullptr;
        size_ = capacity_ = 0;
    }

    T* items_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
};

}  // namespace quarnel::ast
