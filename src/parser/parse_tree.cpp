#include "parser/parse_tree.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quarnel::parser {

namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

}  // namespace

void advise_large_nodes(FlatNode* nodes, std::size_t count) {
    const std::size_t bytes = count * sizeof(FlatNode);
    if (bytes < 4 * huge_page_bytes) {
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(nodes);
    const std::uintptr_t from = (begin + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
    const std::uintptr_t to = (begin + bytes) / huge_page_bytes * huge_page_bytes;
    if (to > from) {
        (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
}

void ParseTree::release_pages_before(const Node& node) const {
    const std::size_t done_bytes = std::size_t{node.index_} * sizeof(FlatNode);
    const std::size_t released_bytes = std::size_t{released_} * sizeof(FlatNode);
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto base = reinterpret_cast<std::uintptr_t>(nodes_);
    // Whole pages strictly inside the nodes already walked, except the first page, which
    // holds the root. Nothing else before `node` is read again: the walk only moves
    // forward and never goes back to an ancestor of `node` (the chain's parent of a
    // nested group may lie on any page), as the debug check in Node::flat confirms.
    const std::uintptr_t from = (base + page + released_bytes + page - 1) / page * page;
    const std::uintptr_t to = (base + done_bytes) / page * page;
    if (to > from) {
        // Advice only: should the system refuse, the memory simply stays in use.
        (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    }
    released_ = node.index_;
}

}  // namespace quarnel::parser
