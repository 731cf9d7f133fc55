// Memory for the syntax tree's operator and qualifier nodes. A parse knows how many such
// nodes it may make, so it takes them all from one block, allocated in a few large chunks
// instead of one allocation per node (which is what bound long chains); a node made
// anywhere else stands alone. Both kinds are freed through the same `operator delete`, so
// the tree's owning pointers stay plain std::unique_ptr. A chunk is given back when its
// last node is freed, on whichever thread that happens.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace quarnel::ast {

namespace node_memory {

// The word before every node: its block, or null for a node on its own.
struct Block;
inline constexpr std::size_t header_size = 8;

// A node on its own; what the node classes' `operator new` calls.
void* allocate_single(std::size_t size);
// Frees a node of either kind; what the node classes' `operator delete` calls.
void release(void* node) noexcept;

}  // namespace node_memory

// Room for up to `capacity` nodes of at most `slot_size` bytes, taken one by one. The
// slots come in chunks of at most `chunk_slots` (by default a MiB's worth, or 8 MiB's for
// builds past 64 MiB: see default_chunk_bytes), each allocated when the one before is
// used up. A chunk lives as long as the builder holding it or any node made from it;
// beyond the capacity, nodes are made on their own.
class NodeBlock {
public:
    NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t chunk_slots = 0);
    NodeBlock(const NodeBlock&) = delete;
    NodeBlock& operator=(const NodeBlock&) = delete;
    ~NodeBlock();

    template <typename Node, typename... Args>
    std::unique_ptr<Node> make(Args&&... args) {
        static_assert(alignof(Node) <= node_memory::header_size);
        void* const slot = free_slot(sizeof(Node));
        if (slot == nullptr) {
            return std::make_unique<Node>(std::forward<Args>(args)...);
        }
        Node* const node = ::new (slot) Node(std::forward<Args>(args)...);
        take_slot();  // only now: a constructor that throws leaves the slot free
        return std::unique_ptr<Node>(node);
    }

private:
    // The next free slot with its header written, or null when none is left (or `size`
    // is more than a slot holds).
    void* free_slot(std::size_t size) {
        if (size + node_memory::header_size > slot_size_ || (remaining_ == 0 && !next_chunk())) {
            return nullptr;
        }
        *reinterpret_cast<node_memory::Block**>(next_) = block_;
        return next_ + node_memory::header_size;
    }
    void take_slot() {
        next_ += slot_size_;
        --remaining_;
    }
    // Gives back the builder's share of the current chunk and that of its unused slots.
    void let_go_of_chunk();
    // Lets go of the current chunk and allocates the next; false when none is to come.
    bool next_chunk();

    node_memory::Block* block_ = nullptr;
    std::size_t slot_size_;
    std::size_t chunk_slots_;
    std::size_t to_come_;  // slots of the capacity in no chunk yet
    std::size_t remaining_ = 0;  // free slots of the current chunk
    std::byte* next_ = nullptr;
};

}  // namespace quarnel::ast
