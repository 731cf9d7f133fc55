#include "ast/node_memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

namespace quarnel::ast {

namespace node_memory {

// A chunk's count starts at its capacity plus one for its builder, so that nodes freed
// while the build goes on (a build that fails) never bring it to zero early; the builder
// takes back its own share and that of the slots it left unused when it moves on to the
// next chunk or is done. Room for texts adds a share of its own, one more than the texts
// it can hold, which the builder keeps the rest of in the same way.
struct Block {
    std::atomic<std::size_t> live;
    std::size_t mapped_bytes;  // of a mapping of its own; zero for memory from malloc
    Block* previous;           // the chunk its builder made before it
    std::size_t held = 0;      // of the count, what the builder keeps once it moved on
};

namespace {

// Chunks and single nodes are 16-byte aligned, from malloc or a mapping: one header word in
// front keeps a node 8-byte aligned, which is all the node classes need.
constexpr std::size_t block_header_size = 32;
static_assert(sizeof(Block) <= block_header_size);

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Memory for a chunk: small ones from malloc; from a huge page up, a mapping of its own,
// aligned to huge pages and advised to use them, so that a large parse faults its nodes
// in 2 MiB at a time rather than 4 KiB. Null when the system has no memory.
void* allocate_chunk(std::size_t bytes, std::size_t& mapped_bytes) {
    mapped_bytes = 0;
    if (bytes < huge_page_bytes) {
        return std::malloc(bytes);
    }
    const std::size_t length = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    void* const raw = mmap(nullptr, length + huge_page_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    // Only the aligned part is kept.
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    const std::uintptr_t end = begin + length + huge_page_bytes;
    if (aligned > begin) {
        (void)munmap(raw, aligned - begin);
    }
    if (end > aligned + length) {
        (void)munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    }
    (void)madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    mapped_bytes = length;
    return reinterpret_cast<void*>(aligned);
}

// A chunk with `room` bytes after its header, its count starting at `live`; null when the
// system has no memory.
Block* new_chunk(std::size_t room, std::size_t live, Block* previous) {
    std::size_t mapped_bytes = 0;
    void* const memory = allocate_chunk(block_header_size + room, mapped_bytes);
    return memory == nullptr ? nullptr : ::new (memory) Block{live, mapped_bytes, previous};
}

std::byte* room_of(Block* block) {
    return reinterpret_cast<std::byte*>(block) + block_header_size;
}

void free_chunk(Block* block) noexcept {
    const std::size_t mapped_bytes = block->mapped_bytes;
    block->~Block();
    if (mapped_bytes != 0) {
        (void)munmap(block, mapped_bytes);
    } else {
        std::free(block);
    }
}

// Counts never rise once a chunk is made: whoever holds all that is left of the count is the
// only holder, and frees the chunk without the locked subtraction.
void drop(Block* block, std::size_t count) noexcept {
    if (block->live.load(std::memory_order_acquire) == count ||
        block->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        free_chunk(block);
    }
}

// Gives back all but one of `share`, which the builder holds until it is done: no chunk it
// made is freed while it may still be abandoned whole.
void keep_one(Block* block, std::size_t share) noexcept {
    if (share > 1) {
        drop(block, share - 1);
    }
    block->held += 1;
}

// Calls `visit` on each chunk of a builder, the latest first; `visit` may free the chunk.
template <typename Visit>
void each_chunk(Block* latest, Visit visit) noexcept {
    for (Block* chunk = latest; chunk != nullptr;) {
        Block* const previous = chunk->previous;
        visit(chunk);
        chunk = previous;
    }
}

void free_single(void* node) noexcept {
    std::free(static_cast<std::byte*>(node) - header_size);
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
        free_single(node);
        return;
    }
    drop(block, 1);
}

void ReleaseBatch::start_run(void* node, Block* block) noexcept {
    if (block == nullptr) {
        free_single(node);
        return;
    }
    flush();
    block_ = block;
    count_ = 1;
}

void ReleaseBatch::flush() noexcept {
    if (block_ != nullptr) {
        drop(block_, count_);
        block_ = nullptr;
    }
}

}  // namespace node_memory

namespace {

// Chunks of a MiB stay on malloc's heap, below its threshold for mapping memory of its
// own once the first has been freed (a single block past the threshold's 32 MiB ceiling
// would be mapped and faulted in anew by every large build), and are reused from one
// parse to the next. Builds past 4 MiB of nodes and texts are another matter: once a
// parse's many small allocations no longer pinned the heap, freeing such a tree let malloc
// trim it, and the next parse faulted its chunks in again 4 KiB at a time (a 10 MB chain of
// hashes: 10,000 faults a parse). They take chunks of their own mapping on huge pages,
// faulted in 2 MiB at a time where the system grants huge pages (4 KiB at a time again
// where it does not).
constexpr std::size_t small_chunk = std::size_t{1} << 20;

// Text chunks of a build on the heap stay below malloc's first threshold for mapping memory
// of its own (128 KiB): their size follows the texts' count, not the nodes', and one across
// the threshold tipped malloc into trimming the heap after every parse of a 100 KB chain of
// hashes. Those of a mapped build are as large as its node chunks.
constexpr std::size_t heap_text_chunk_bytes = std::size_t{64} << 10;

std::size_t default_chunk_bytes(std::size_t total_bytes) {
    constexpr std::size_t large_chunk = std::size_t{8} << 20;
    constexpr std::size_t large_build = std::size_t{4} << 20;
    return total_bytes > large_build ? large_chunk : small_chunk;
}

}  // namespace

NodeBlock::NodeBlock(Sized, std::size_t capacity, std::size_t slot_size, std::size_t text_bytes)
    : slot_size_((slot_size + 2 * node_memory::header_size - 1) / node_memory::header_size *
                 node_memory::header_size),
      first_text_bytes_(text_bytes),
      to_come_(capacity),
      text_to_come_(text_bytes) {
    const std::size_t chunk_bytes = default_chunk_bytes(capacity * slot_size_ + text_bytes);
    chunk_slots_ = most_chunk_slots_ =
        std::max<std::size_t>(1, (chunk_bytes - node_memory::block_header_size) / slot_size_);
    text_chunk_bytes_ = (chunk_bytes == small_chunk ? heap_text_chunk_bytes : chunk_bytes) - node_memory::block_header_size;
}

NodeBlock::NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t chunk_slots, std::size_t text_bytes)
    : NodeBlock(Sized{}, capacity, slot_size, text_bytes) {
    if (chunk_slots != 0) {
        chunk_slots_ = most_chunk_slots_ = chunk_slots;
    }
    next_chunk();
}

NodeBlock::NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t text_bytes, FirstChunk first)
    : NodeBlock(Sized{}, capacity, slot_size, text_bytes) {
    const std::size_t heap_slots = (node_memory::huge_page_bytes - node_memory::block_header_size - 1) / slot_size_;
    chunk_slots_ = std::clamp<std::size_t>(first.slots, 1, std::min(most_chunk_slots_, heap_slots));
    first_text_bytes_ = std::min(first.text_bytes, text_bytes);
    growing_ = true;
    // The first chunk comes with the first node or long text: a tree of neither needs none.
}

void NodeBlock::let_go_of_chunk() {
    if (block_ != nullptr) {
        node_memory::keep_one(block_, remaining_ + 1);
        block_ = nullptr;
        remaining_ = 0;
    }
}

bool NodeBlock::next_chunk() {
    let_go_of_chunk();
    if (to_come_ == 0) {
        return false;
    }
    const std::size_t count = std::min(to_come_, chunk_slots_);
    if (growing_) {
        chunk_slots_ = std::min(2 * chunk_slots_, most_chunk_slots_);
    }
    // A small parse takes its texts' room in its first chunk as well, in one allocation. A
    // larger one gives them chunks of their own: a 100 KB chain of hashes whose first chunk
    // grew by its texts' room tipped malloc into trimming the heap after every parse.
    constexpr std::size_t shared_chunk_bytes = std::size_t{64} << 10;
    const bool with_texts = text_block_ == nullptr && first_text_bytes_ != 0 &&
                            node_memory::block_header_size + count * slot_size_ + first_text_bytes_ <= shared_chunk_bytes;
    const std::size_t text_room = with_texts ? first_text_bytes_ : 0;
    const std::size_t text_share = with_texts ? text_share_of(text_room) : 0;
    block_ = node_memory::new_chunk(count * slot_size_ + text_room, count + 1 + text_share, chunks_);
    if (block_ == nullptr) {
        to_come_ = 0;  // every node is then made on its own, which reports the shortage
        return false;
    }
    chunks_ = block_;
    next_ = node_memory::room_of(block_);
    remaining_ = count;
    to_come_ -= count;
    if (with_texts) {
        text_block_ = block_;
        text_share_ = text_share;
        text_next_ = next_ + count * slot_size_;
        text_end_ = text_next_ + text_room;
        text_to_come_ -= text_room;
        text_made_ += text_room;
    }
    return true;
}

void NodeBlock::let_go_of_text_chunk() {
    if (text_block_ != nullptr) {
        node_memory::keep_one(text_block_, text_share_);
        text_block_ = nullptr;
        text_share_ = 0;
        text_next_ = text_end_ = nullptr;
    }
}

bool NodeBlock::next_text_chunk(std::size_t need) {
    // Texts take room in a block's first chunk where they fit it.
    if (chunks_ == nullptr && next_chunk() && static_cast<std::size_t>(text_end_ - text_next_) >= need) {
        return true;
    }
    let_go_of_text_chunk();
    const std::size_t bytes = std::max(next_text_room(), need);
    text_block_ = node_memory::new_chunk(bytes, text_share_of(bytes), chunks_);
    if (text_block_ == nullptr) {
        return false;
    }
    chunks_ = text_block_;
    text_to_come_ -= std::min(text_to_come_, bytes);
    text_made_ += bytes;
    text_share_ = text_share_of(bytes);
    text_next_ = node_memory::room_of(text_block_);
    text_end_ = text_next_ + bytes;
    return true;
}

std::size_t NodeBlock::next_text_room() const {
    const std::size_t most = growing_ ? std::min(text_chunk_bytes_, std::max(first_text_bytes_, text_made_))
                                      : text_chunk_bytes_;
    return std::min(text_to_come_, most);
}

NodeBlock::~NodeBlock() {
    if (chunks_ != nullptr) {
        (void)finish();
    }
}

NodeBlock::Chunks NodeBlock::finish() noexcept {
    // Each chunk goes back in one drop of all the builder still holds of it: a small parse,
    // whose texts share its one chunk, in a single step.
    if (block_ != nullptr) {
        block_->held += remaining_ + 1;
    }
    if (text_block_ != nullptr) {
        text_block_->held += text_share_;
    }
    Chunks chunks(chunks_, owns_all_);
    chunks_ = block_ = text_block_ = nullptr;
    remaining_ = to_come_ = text_share_ = text_to_come_ = 0;
    text_next_ = text_end_ = nullptr;
    return chunks;
}

NodeBlock::Chunks::Chunks(Chunks&& other) noexcept
    : latest_(std::exchange(other.latest_, nullptr)), owns_all_(std::exchange(other.owns_all_, false)) {}

// What this held goes with `other`.
NodeBlock::Chunks& NodeBlock::Chunks::operator=(Chunks&& other) noexcept {
    std::swap(latest_, other.latest_);
    std::swap(owns_all_, other.owns_all_);
    return *this;
}

NodeBlock::Chunks::~Chunks() {
    node_memory::each_chunk(latest_, [](node_memory::Block* chunk) { node_memory::drop(chunk, chunk->held); });
}

void NodeBlock::Chunks::abandon() noexcept {
    node_memory::each_chunk(latest_, node_memory::free_chunk);
    latest_ = nullptr;
}

}  // namespace quarnel::ast
