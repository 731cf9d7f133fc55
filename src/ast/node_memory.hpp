// Memory for the syntax tree's operator and qualifier nodes and its long texts. A parse
// knows how many nodes it may make and how much room its texts may take, so it takes them
// all from one block, allocated in a few large chunks instead of one allocation per node
// or text (which is what bound long chains); a node or text made anywhere else stands
// alone. Both kinds are freed the same way (nodes through `operator delete`), so the tree's
// owning pointers stay plain std::unique_ptr. A chunk is given back when the last node or
// text in it is freed, on whichever thread that happens.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace quarnel::ast {

namespace node_memory {

// The word before every node and far text: its block, or null for one on its own.
struct Block;
inline constexpr std::size_t header_size = 8;

// That word, of a node or far text.
inline Block*& header_of(void* node) {
    return *reinterpret_cast<Block**>(static_cast<std::byte*>(node) - header_size);
}

// A node or text on its own; what the node classes' `operator new` calls.
void* allocate_single(std::size_t size);
// Frees a node or text of either kind; what the node classes' `operator delete` calls.
void release(void* node) noexcept;

// Frees the memory of nodes already destroyed, one after another, lowering a chunk's count
// once for each run of its nodes instead of once per node: a tree's teardown frees many
// nodes of one chunk in a row, and each lowering is a locked instruction.
class ReleaseBatch {
public:
    ReleaseBatch() = default;
    ReleaseBatch(const ReleaseBatch&) = delete;
    ReleaseBatch& operator=(const ReleaseBatch&) = delete;
    ~ReleaseBatch() {
        if (block_ != nullptr) flush();
    }

    // `node` came from `operator new` of a node class, and its object is gone.
    void add(void* node) noexcept {
        Block* const block = header_of(node);
        if (block == block_ && block != nullptr) {
            ++count_;
        } else {
            start_run(node, block);
        }
    }

private:
    // Frees a node on its own at once, or lets go of the run so far and starts one of `block`.
    void start_run(void* node, Block* block) noexcept;
    void flush() noexcept;

    Block* block_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace node_memory

// Room for up to `capacity` nodes of at most `slot_size` bytes, taken one by one. The
// slots come in chunks of at most `chunk_slots` (by default a MiB's worth, or 8 MiB's for
// builds past 4 MiB: see default_chunk_bytes), each allocated when the one before is
// used up. A chunk lives as long as the builder holding it or any node made from it;
// beyond the capacity, nodes are made on their own.
//
// A tree that owns nothing outside its block (no node on its own, no vector, no text from
// elsewhere) may be dropped whole by `Chunks::abandon`, which frees the chunks without
// visiting the nodes; the block's chunks then live as long as the tree (`finish`, and see
// parser::parse_shared_pattern). Until it is destroyed or finished, the block keeps a share
// of every chunk it made.
//
// Texts too long to lie inside a node come from the block as well: `text_bytes` of room,
// after the first chunk's slots when a parse is small, else in chunks of their own, each of
// the room still to come or of a text chunk's most (64 KiB on the heap, a node chunk's size
// when mapped), whichever is less, or of a text too large for either.
class NodeBlock {
public:
    NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t chunk_slots = 0, std::size_t text_bytes = 0);

    // A block for a build that knows only bounds of what it needs: its first chunk, made
    // with the first node or long text, holds `first.slots` slots and `first.text_bytes` of
    // room for texts; each later chunk twice the slots of the one before, or as much room for
    // texts as all chunks before it, at most what the bounds call for. A small tree then
    // takes little more memory than it needs, and a large one few chunks. The first chunk's
    // slots stay below a huge page, on malloc's heap: there a tree of up to a few MiB reuses
    // the memory of the parse before, where a mapping of its own is cleared anew each time.
    struct FirstChunk {
        std::size_t slots;
        std::size_t text_bytes;
    };
    NodeBlock(std::size_t capacity, std::size_t slot_size, std::size_t text_bytes, FirstChunk first);

    NodeBlock(const NodeBlock&) = delete;
    NodeBlock& operator=(const NodeBlock&) = delete;
    ~NodeBlock();

    template <typename Node, typename... Args>
    std::unique_ptr<Node> make(Args&&... args) {
        static_assert(alignof(Node) <= node_memory::header_size);
        // Braces, not parentheses: the node types are aggregates, which clang 14 cannot yet
        // initialise with parentheses, and braces make a node from one of its alternatives
        // without an intermediate node. (A node on its own is made before it is allocated:
        // should that fail, the build it belonged to is abandoned anyway.)
        void* const slot = free_slot(sizeof(Node));
        if (slot == nullptr) {
            owns_all_ = false;
            return std::make_unique<Node>(Node{std::forward<Args>(args)...});
        }
        Node* const node = ::new (slot) Node{std::forward<Args>(args)...};
        take_slot();  // only now: a constructor that throws leaves the slot free
        return std::unique_ptr<Node>(node);
    }

    // A slot's room for `size` bytes other than a node's (a list's values, say), its header
    // written in front; null when no slot is left or `size` is more than one holds. Freed
    // as a node is.
    void* slot_room(std::size_t size) {
        void* const slot = free_slot(size);
        if (slot != nullptr) {
            take_slot();
        }
        return slot;
    }

    // Room for a text of up to `room` bytes, its header written in front; null when the
    // system has no memory for another chunk. `text_taken` then keeps the first `used`.
    char* text_room(std::size_t room) {
        const std::size_t need = text_footprint(room);
        if (static_cast<std::size_t>(text_end_ - text_next_) < need && !next_text_chunk(need)) {
            return nullptr;
        }
        *reinterpret_cast<node_memory::Block**>(text_next_) = text_block_;
        return reinterpret_cast<char*>(text_next_ + node_memory::header_size);
    }
    void text_taken(std::size_t used) {
        text_next_ += text_footprint(used);
        --text_share_;
    }

    // Whether all that the nodes made so far own lies in the block: a node made on its own
    // clears it, and so must the builder for what it allocates itself (`note_outside`).
    bool owns_all() const { return owns_all_; }
    void note_outside() { owns_all_ = false; }

    // The chunks of a finished build, which a kept tree holds in place of the whole block:
    // a few words instead of the builder's state. Their shares go when it is destroyed,
    // after the tree's nodes (each chunk lives on while a node of it does), or all at once
    // by `abandon`. Empty, it owns nothing and claims not to own all, so that a tree built
    // without it is destroyed node by node.
    class Chunks {
    public:
        Chunks() = default;
        Chunks(Chunks&& other) noexcept;
        Chunks& operator=(Chunks&& other) noexcept;
        ~Chunks();

        bool owns_all() const { return owns_all_; }
        // Frees every chunk at once, without destroying what lies in them. Only for a tree
        // that owns nothing outside the block (`owns_all`) and is dropped whole: its nodes
        // are never read or destroyed again. Nothing is then held.
        void abandon() noexcept;

    private:
        friend class NodeBlock;
        Chunks(node_memory::Block* latest, bool owns_all) : latest_(latest), owns_all_(owns_all) {}

        node_memory::Block* latest_ = nullptr;
        bool owns_all_ = false;
    };
    // Hands the chunks over; the block is then empty.
    Chunks finish() noexcept;

    // The room a text of `size` bytes takes: its header and bytes, keeping the next header aligned.
    static constexpr std::size_t text_footprint(std::size_t size) {
        return node_memory::header_size + (size + node_memory::header_size - 1) / node_memory::header_size *
                                              node_memory::header_size;
    }

private:
    // Each text takes at least its header: a chunk's text room of `bytes` holds no more texts
    // than this, and the builder's share of the chunk covers them all.
    static std::size_t text_share_of(std::size_t bytes) { return bytes / node_memory::header_size + 1; }

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
    // Sizes the chunks for the capacity and room for texts given; makes none yet.
    struct Sized {};
    NodeBlock(Sized, std::size_t capacity, std::size_t slot_size, std::size_t text_bytes);

    // Gives back the builder's share of the current chunk and that of its unused slots.
    void let_go_of_chunk();
    // Lets go of the current chunk and allocates the next; false when none is to come.
    bool next_chunk();
    // Gives back the share of the chunk that texts came from; then one for `need` bytes at least.
    void let_go_of_text_chunk();
    bool next_text_chunk(std::size_t need);
    // The room for texts the next text chunk takes, unless a text needs more.
    std::size_t next_text_room() const;

    node_memory::Block* chunks_ = nullptr;  // the latest chunk made, linked to those before
    bool owns_all_ = true;
    node_memory::Block* block_ = nullptr;
    std::size_t slot_size_;
    std::size_t chunk_slots_;
    std::size_t most_chunk_slots_;  // what chunk_slots_ grows up to, where it grows
    std::size_t first_text_bytes_;  // of the room for texts, what the first chunk may take
    std::size_t to_come_;  // slots of the capacity in no chunk yet
    std::size_t remaining_ = 0;  // free slots of the current chunk
    std::byte* next_ = nullptr;

    std::size_t text_chunk_bytes_;  // the most room for texts that one chunk takes
    bool growing_ = false;          // chunks grow from the first (FirstChunk)
    std::size_t text_made_ = 0;     // room for texts in the chunks made so far
    std::size_t text_to_come_;      // room for texts in no chunk yet
    node_memory::Block* text_block_ = nullptr;
    std::size_t text_share_ = 0;  // of text_block_'s count
    std::byte* text_next_ = nullptr;
    std::byte* text_end_ = nullptr;
};

}  // namespace quarnel::ast
