#include "match/document.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace quarnel::match {

namespace {

void append_pointer_token(std::string& out, std::string_view token) {
    out += '/';
    for (const char c : token) {
        if (c == '~') {
            out += "~0";
        } else if (c == '/') {
            out += "~1";
        } else {
            out += c;
        }
    }
}

bool numbers_equal(const Node& a, const Node& b) {
    if (a.kind == Kind::Integer && b.kind == Kind::Integer) return a.integer() == b.integer();
    if (a.kind == Kind::Float && b.kind == Kind::Float) return a.real() == b.real();
    const std::int64_t i = a.kind == Kind::Integer ? a.integer() : b.integer();
    const double d = a.kind == Kind::Integer ? b.real() : a.real();
    // Exact: the double must be integral, inside the 64-bit range, and equal after truncation.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
    const auto t = static_cast<std::int64_t>(d);
    return static_cast<double>(t) == d && t == i;
}

bool is_number(Kind kind) { return kind == Kind::Integer || kind == Kind::Float; }

}  // namespace

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t huge_pages_for(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

}  // namespace

void* allocate_large(std::size_t bytes) {
    const std::size_t length = huge_pages_for(bytes);
    // Map a huge page more than needed and trim both ends to get an aligned block.
    void* const mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (begin + huge_page - 1) / huge_page * huge_page;
    if (aligned > begin) munmap(mapped, aligned - begin);
    const std::uintptr_t tail = aligned + length;
    if (begin + length + huge_page > tail) munmap(reinterpret_cast<void*>(tail), begin + length + huge_page - tail);
    void* const block = reinterpret_cast<void*>(aligned);
    (void)madvise(block, length, MADV_HUGEPAGE);
    return block;
}

void release_large(void* at, std::size_t bytes) { munmap(at, huge_pages_for(bytes)); }

void Store::reserve_for(std::size_t json_bytes) {
    // Typically a value per twenty to thirty bytes of text, and most of the text in strings.
    nodes.reserve(nodes.size() + json_bytes / 20);
    children.reserve(children.size() + json_bytes / 20);
    chars.reserve(chars.size() + json_bytes / 4 * 3);
    known.reserve(known.size() + json_bytes / 128);
}

std::uint64_t text_hash(std::string_view text) {
    std::uint64_t hash = (text.size() + 1) * 0x9E3779B97F4A7C15ULL;
    std::size_t at = 0;
    const auto mix = [&](std::uint64_t word) {
        hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
        hash ^= hash >> 31;
    };
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        mix(word);
    }
    if (at < text.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + at, text.size() - at);
        mix(word);
    }
    return hash;
}

std::uint32_t Store::slot_of(std::string_view name, std::uint64_t hash) const {
    const std::size_t mask = name_slots_.size() - 1;
    std::size_t at = hash & mask;
    while (name_slots_[at] != 0) {
        const std::uint32_t id = name_slots_[at] - 1;
        if (name_hashes_[id] == hash && same_text(name_text(id), name)) break;
        at = (at + 1) & mask;
    }
    return static_cast<std::uint32_t>(at);
}

std::uint32_t Store::find_name(std::string_view name) const {
    if (name_slots_.empty()) return no_node;
    const std::uint32_t slot = name_slots_[slot_of(name, text_hash(name))];
    return slot == 0 ? no_node : slot - 1;
}

std::uint32_t Store::intern_missed(std::string_view name, std::uint32_t* guesses) {
    const std::uint32_t id = intern_hashed(name);
    guesses[1] = guesses[0];
    guesses[0] = id;
    return id;
}

void Store::grow_guesses() { name_after_.resize(2 * (names_.size() + 1), no_node); }

std::uint32_t Store::intern_hashed(std::string_view name) {
    const std::uint64_t hash = text_hash(name);
    if (2 * (names_.size() + 1) > name_slots_.size()) {
        // Grow to keep the table at most half full; every id moves to its new slot.
        name_slots_.assign(std::max<std::size_t>(64, name_slots_.size() * 2), 0);
        const std::size_t mask = name_slots_.size() - 1;
        for (std::uint32_t id = 0; id < names_.size(); ++id) {
            std::size_t at = name_hashes_[id] & mask;
            while (name_slots_[at] != 0) at = (at + 1) & mask;
            name_slots_[at] = id + 1;
        }
    }
    const std::uint32_t slot = slot_of(name, hash);
    if (name_slots_[slot] != 0) return name_slots_[slot] - 1;
    const auto id = static_cast<std::uint32_t>(names_.size());
    names_.push_back({static_cast<std::uint32_t>(chars.size()), static_cast<std::uint32_t>(name.size())});
    const auto ends_with = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    typed_names_.push_back(ends_with("_hex") || ends_with("_bin") || ends_with("_ref") || ends_with("_refs"));
    name_hashes_.push_back(hash);
    chars.append(name);
    name_slots_[slot] = id + 1;
    return id;
}

Store::Store() {
    // In the order of Known, so that each known name's id is its enumerator.
    for (const std::string_view name : {"type", "id", "objects", "object_refs", "first_observed", "last_observed",
                                        "number_observed"}) {
        intern_name(name);
    }
}

std::uint32_t Store::member(std::uint32_t object, std::string_view wanted) const {
    const std::uint32_t id = find_name(wanted);
    return id == no_node ? no_node : member_by_id(object, id);
}

std::uint32_t Store::member_by_id(std::uint32_t object, std::uint32_t name_id) const {
    if (name_id < known_count) return member(object, static_cast<Known>(name_id));
    const Node& n = nodes[object];
    if (n.kind != Kind::Object) return no_node;
    for (const std::uint32_t* c = child_begin(n); c != child_end(n); ++c) {
        if (nodes[*c].name == name_id) return *c;
    }
    return no_node;
}

std::string Store::location(std::uint32_t at) const {
    std::vector<std::uint32_t> chain;
    std::uint32_t top = at;
    for (std::uint32_t n = at; n != no_node; n = nodes[n].parent) {
        chain.push_back(n);
        top = n;
    }
    const auto input = std::find(inputs.begin(), inputs.end(), top);
    std::string out = "input " + std::to_string(input - inputs.begin());
    if (chain.size() > 1) out += ": ";
    for (auto n = chain.rbegin() + 1; n < chain.rend(); ++n) {
        const Node& node = nodes[*n];
        append_pointer_token(out, node.member ? name(node) : std::to_string(node.name));
    }
    return out;
}

bool Store::equal(std::uint32_t a, std::uint32_t b) const {
    // Iterative: documents may be deep and this runs on any thread's stack.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{a, b}};
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        const Node& p = nodes[x];
        const Node& q = nodes[y];
        if (is_number(p.kind) && is_number(q.kind)) {
            if (!numbers_equal(p, q)) return false;
            continue;
        }
        if (p.kind != q.kind) return false;
        switch (p.kind) {
            case Kind::String:
            case Kind::Binary:
                if (text(p) != text(q)) return false;
                break;
            case Kind::Boolean:
                if (p.boolean != q.boolean) return false;
                break;
            case Kind::List:
                if (p.count != q.count) return false;
                for (std::uint32_t i = 0; i < p.count; ++i) {
                    pending.emplace_back(children[p.first + i], children[q.first + i]);
                }
                break;
            case Kind::Object:
                if (p.count != q.count) return false;
                for (const std::uint32_t* c = child_begin(p); c != child_end(p); ++c) {
                    const std::uint32_t other = member_by_id(y, nodes[*c].name);
                    if (other == no_node) return false;
                    pending.emplace_back(*c, other);
                }
                break;
            default:
                break;
        }
    }
    return true;
}

void Builder::start_input(std::uint32_t at) {
    top_ = at;
    store_.inputs.resize(std::max<std::size_t>(store_.inputs.size(), input_ + 1), no_node);
    store_.inputs[input_] = at;
}

Builder::Builder(Store& store, std::uint32_t input, std::uint32_t max_depth)
    : store_(store),
      input_(input),
      max_depth_(max_depth),
      nodes_before_(store.nodes.size()),
      children_before_(store.children.size()),
      known_before_(store.known.size()) {}

bool Builder::fail(DataErrorKind kind, std::string message) {
    error_ = DataError{kind, std::move(message)};
    return false;
}

std::string Builder::next_location() const {
    if (open_.empty()) return "input " + std::to_string(input_);
    std::string out = store_.location(open_.back().node);
    if (out.find(':') == std::string::npos) out += ": ";
    const Node& parent = store_.nodes[open_.back().node];
    if (parent.kind == Kind::Object) {
        append_pointer_token(out, pending_key_);
    } else {
        append_pointer_token(out, std::to_string(scratch_.size() - open_.back().scratch_from));
    }
    return out;
}

bool Builder::begin(Kind kind) {
    if (open_.size() >= max_depth_) {
        return fail(DataErrorKind::TooDeep,
                    next_location() + ": nesting exceeds " + std::to_string(max_depth_) + " levels");
    }
    open_.push_back({add(kind), scratch_.size(), kind == Kind::Object, no_node});
    return true;
}

bool Builder::check_names(std::uint32_t object, std::size_t from) {
    // One pass: a name met earlier in this object carries this check's stamp. The same pass
    // notes the members of known names.
    if (seen_.size() < store_.name_count()) seen_.resize(store_.name_count(), 0);
    if (++checks_ == 0) {
        std::fill(seen_.begin(), seen_.end(), 0);
        checks_ = 1;
    }
    std::array<std::uint32_t, known_count> known;
    bool has_known = false;
    for (std::size_t i = from; i < scratch_.size(); ++i) {
        const std::uint32_t name = store_.nodes[scratch_[i]].name;
        if (seen_[name] == checks_) {
            return fail(DataErrorKind::DuplicateMember, store_.location(object) + ": duplicate member name \"" +
                                                            std::string(store_.name_text(name)) + "\"");
        }
        seen_[name] = checks_;
        if (name < known_count) {
            if (!has_known) known.fill(no_node);
            has_known = true;
            known[name] = scratch_[i];
        }
    }
    if (has_known) {
        store_.nodes[object].known = static_cast<std::uint32_t>(store_.known.size());
        store_.known.push_back(known);
    }
    return true;
}

bool Builder::end_container() {
    const Open open = open_.back();
    Node& node = store_.nodes[open.node];
    if (node.kind == Kind::Object && !check_names(open.node, open.scratch_from)) return false;
    for (std::size_t i = open.scratch_from; i < scratch_.size() && !node.typed_below; ++i) {
        const Node& child = store_.nodes[scratch_[i]];
        node.typed_below = child.typed_below || (child.member && store_.typed_name(child.name));
    }
    node.first = static_cast<std::uint32_t>(store_.children.size());
    node.count = static_cast<std::uint32_t>(scratch_.size() - open.scratch_from);
    store_.children.insert(store_.children.end(), scratch_.begin() + static_cast<std::ptrdiff_t>(open.scratch_from),
                           scratch_.end());
    scratch_.resize(open.scratch_from);
    open_.pop_back();
    return true;
}

std::uint32_t Builder::finish() { return top_; }

void Builder::discard() {
    store_.nodes.resize(nodes_before_);
    store_.children.resize(children_before_);
    store_.known.resize(known_before_);
    // Characters stay: interned names may live among them.
    if (input_ < store_.inputs.size()) store_.inputs[input_] = no_node;
}

}  // namespace quarnel::match
