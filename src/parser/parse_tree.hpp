// The grammar's parse tree: nodes in preorder in one flat array, 16 bytes each,
// so that building and walking a multi-megabyte pattern costs no recursion and
// little memory.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>

#include "ast/text.hpp"
#include "parser/rule.hpp"

namespace quarnel::parser {

struct FlatNode {
    std::uint32_t begin;        // byte offset of the first character
    std::uint32_t end;          // byte offset after the last character
    std::uint32_t descendants;  // number of nodes below this one
    Rule rule;
    // Of a comparison in a lean tree: its operator's rule, and negated_detail where NOT precedes
    // it, which the lean run writes here instead of making nodes for them. Zero on every other
    // node, and on a comparison whose operator and NOT are nodes of their own.
    std::uint8_t detail;
};

inline constexpr std::uint8_t negated_detail = 0x80;
inline constexpr std::uint8_t operator_detail_mask = 0x3F;

class ParseTree;

// The steps among a path's nodes: one property each, whether a step node holds it or not.
inline std::size_t path_steps(std::span<const FlatNode> nodes) {
    return static_cast<std::size_t>(
        std::count_if(nodes.begin(), nodes.end(), [](const FlatNode& node) { return node.rule == Rule::property; }));
}

// Asks for large pages under a large node array, whose pages a big parse would otherwise
// fault in one by one; advice only, and nothing for small arrays.
void advise_large_nodes(FlatNode* nodes, std::size_t count);

// A node of a parse tree: its rule, its span, its text and its children in input order.
class Node {
public:
    Node(const ParseTree& tree, std::uint32_t index) : tree_(&tree), index_(index) {}

    Rule rule() const;
    // Where the node lies in its tree's preorder array, for walks that read that array.
    std::uint32_t index() const { return index_; }
    const ParseTree& tree() const { return *tree_; }
    std::uint32_t begin() const;
    std::uint32_t end() const;
    std::string_view text() const;

    class Children;
    Children children() const;
    // This node and all below it, in preorder.
    std::span<const FlatNode> subtree() const;

    // Gives back the memory of the nodes before this one: see ParseTree::release_before.
    void release_walked() const;

private:
    friend class ParseTree;
    const FlatNode& flat() const;
    const ParseTree* tree_;
    std::uint32_t index_;
};

class Node::Children {
public:
    class iterator {
    public:
        using value_type = Node;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::forward_iterator_tag;

        iterator() = default;
        iterator(const ParseTree* tree, std::uint32_t index, std::uint32_t last)
            : tree_(tree), index_(index), next_(next_after(tree, index, last)), last_(last) {}
        Node operator*() const { return Node(*tree_, index_); }
        iterator& operator++() {
            index_ = next_;
            next_ = next_after(tree_, index_, last_);
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const { return index_ == other.index_; }

    private:
        // Read when the iterator reaches a node, so that stepping on never reads a node
        // whose memory a forward walk may have released since.
        static std::uint32_t next_after(const ParseTree* tree, std::uint32_t index, std::uint32_t last);

        const ParseTree* tree_ = nullptr;
        std::uint32_t index_ = 0;
        std::uint32_t next_ = 0;
        std::uint32_t last_ = 0;
    };

    Children(const ParseTree& tree, std::uint32_t first, std::uint32_t last)
        : tree_(&tree), first_(first), last_(last) {}
    iterator begin() const { return {tree_, first_, last_}; }
    iterator end() const { return {tree_, last_, last_}; }
    bool empty() const { return first_ == last_; }

private:
    const ParseTree* tree_;
    std::uint32_t first_;
    std::uint32_t last_;
};

class ParseTree {
public:
    // What building the syntax tree will take of a node block, counted as nodes matched:
    // at least the sum of heap_nodes_made over all nodes, and of the room for the texts of
    // those that make a tree text. Nodes dropped later stay counted.
    struct BlockNeeds {
        std::size_t heap_nodes = 0;
        std::size_t text_room = 0;

        // Counts a node of `rule` whose text is `bytes` long.
        void add(Rule rule, std::size_t bytes) {
            heap_nodes += heap_nodes_made[static_cast<std::size_t>(rule)];
            if (makes_tree_text[static_cast<std::size_t>(rule)]) {
                text_room += ast::block_room_for_text(bytes);
            }
        }

        // Counts a path node of a lean tree, its descendants following it: a path of more
        // steps than its comparison holds puts them in a node's room. (A whole tree leaves
        // this count out: what building reads from it is rare enough for such steps to take
        // memory of their own.)
        void add_path(std::span<const FlatNode> path) {
            // An object and a property for each step at the least.
            if (path[0].descendants < 1 + inline_path_steps + 1) {
                return;
            }
            if (path_steps(path.subspan(1)) > inline_path_steps) {
                heap_nodes += 1;
            }
        }
    };

    // `nodes` is the owned array `owned`, or memory the caller keeps while the tree is read.
    ParseTree(std::string_view input, std::unique_ptr<FlatNode[]> owned, const FlatNode* nodes, std::uint32_t size,
              BlockNeeds needs)
        : input_(input), owned_(std::move(owned)), nodes_(nodes), size_(size), needs_(needs) {}

    std::string_view input() const { return input_; }
    std::span<const FlatNode> flat_nodes() const { return {nodes_, size_}; }
    const BlockNeeds& block_needs() const { return needs_; }

    // The top-level nodes (for a parse from `pattern`, exactly one).
    Node::Children top_level() const { return {*this, 0, size_}; }

    // Hands the memory of the nodes before `node` back to the system. A walk that only
    // moves forward through a long chain calls it, so that a huge parse tree and the
    // syntax tree built from it need not be whole at once. Those nodes, and the
    // ancestors of `node`, must not be read afterwards; debug builds check this on
    // every read.
    void release_before(const Node& node) const {
#ifndef NDEBUG
        walked_ = std::max(walked_, node.index_);
#endif
        if (owned_ && std::size_t{node.index_} >= std::size_t{released_} + release_step_nodes) {
            release_pages_before(node);
        }
    }

private:
    // Only trees this large are worth a system call; they also lie in a mapping of their own
    // (never in a caller's scratch).
    static constexpr std::size_t release_step_nodes = (std::size_t{64} << 20) / sizeof(FlatNode);

    void release_pages_before(const Node& node) const;

    friend class Node;
    std::string_view input_;
    std::unique_ptr<FlatNode[]> owned_;
    const FlatNode* nodes_;
    std::uint32_t size_;
    BlockNeeds needs_;
    mutable std::uint32_t released_ = 0;  // nodes before this one are given back
#ifndef NDEBUG
    mutable std::uint32_t walked_ = 0;  // nodes before this one must not be read any more
#endif
};

inline const FlatNode& Node::flat() const {
    assert(index_ >= tree_->walked_ && "a node was read after release_before gave it up");
    return tree_->nodes_[index_];
}
inline Rule Node::rule() const { return flat().rule; }
inline std::uint32_t Node::begin() const { return flat().begin; }
inline std::uint32_t Node::end() const { return flat().end; }
inline std::string_view Node::text() const {
    return tree_->input_.substr(flat().begin, flat().end - flat().begin);
}
inline Node::Children Node::children() const {
    return {*tree_, index_ + 1, index_ + 1 + flat().descendants};
}
inline std::uint32_t Node::Children::iterator::next_after(const ParseTree* tree, std::uint32_t index,
                                                         std::uint32_t last) {
    return index < last ? index + 1 + tree->nodes_[index].descendants : last;
}
inline std::span<const FlatNode> Node::subtree() const {
    return {&flat(), std::size_t{flat().descendants} + 1};
}
inline void Node::release_walked() const { tree_->release_before(*this); }

}  // namespace quarnel::parser
