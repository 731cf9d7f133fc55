#include "ast/node_memory.hpp"

#include <algorithm>
#include <cstdlib>

namespace quarnel::ast {

namespace node_memory {

// A chunk's count starts at its capacity plus one for its builder, so that nodes freed
// while the build goes on (a build that fails) never bring it to zero early; the builder
// takes back its own share and that of the slots it left unused when it moves on to the
// next chunk or is done.
struct Block {
    std::atomic<std::size_t> live;
};

namespace {

// Blocks and single nodes come from malloc: one header word in front keeps a node 8-byte
// aligned, which is all the node classes need.
constexpr std::size_t block_header_size = 16;
static_assert(sizeof(Block) <= block_header_size);

Block*& header_of(void* node) {
    return *reinterpret_cast<Block**>(static_cast<std::byte*>(node) - header_size);
}

void drop(Block* block, std::size_t count) noexcept {
    if (block->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        block->~Block();
        std::free(block);
    }
}

}  // namespace

void* allocate_single(std::size_t size) {
    void* const memory = std::malloc(header_size + size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    void* const node = static_cast<std::byte*>(memory) + header_size;
    header_of(node) = nullptr;
    return node;
}

void release(void* node) noexcept {
    if (node == nullptr) {
        return;
    }
    Block* const block = header_of(node);
    if (block == nullptr) {
        std::free(static_cast<std::byte*>(node) - header_size);
        return;
    }
    drop(block, 1);
}

}  // namespace node_memory

NodeBlock::NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t chunk_slots)
    : slot_size_((slot_size + 2 * node_memory::header_size - 1) / node_memory::header_size *
                 node_memory::header_size),
      chunk_slots_(chunk_slots != 0 ? chunk_slots : std::max<std::size_t>(1, (std::size_t{1} << 20) / slot_size_)),
      to_come_(capacity) {
    next_chunk();
}

bool NodeBlock::next_chunk() {
    if (block_ != nullptr) {
        node_memory::drop(block_, remaining_ + 1);
        block_ = nullptr;
        remaining_ = 0;
    }
    if (to_come_ == 0) {
        return false;
    }
    const std::size_t count = std::min(to_come_, chunk_slots_);
    void* const memory = std::malloc(node_memory::block_header_size + count * slot_size_);
    if (memory == nullptr) {
        to_come_ = 0;  // every node is then made on its own, which reports the shortage
        return false;
    }
    block_ = ::new (memory) node_memory::Block{count + 1};
    next_ = static_cast<std::byte*>(memory) + node_memory::block_header_size;
    remaining_ = count;
    to_come_ -= count;
    return true;
}

NodeBlock::~NodeBlock() {
    if (block_ != nullptr) {
        node_memory::drop(block_, remaining_ + 1);
    }
}

}  // namespace quarnel::ast
