#include "match/document.hpp"

#include <sys/mman.h>

#include <algorithm>
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
    if (a.kind == Kind::Integer && b.kind == Kind::Integer) return a.integer == b.integer;
    if (a.kind == Kind::Float && b.kind == Kind::Float) return a.real == b.real;
    const std::int64_t i = a.kind == Kind::Integer ? a.integer : b.integer;
    const double d = a.kind == Kind::Integer ? b.real : a.real;
    // Exact: the double must be integral, inside the 64-bit range, and equal after truncation.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
    const auto t = static_cast<std::int64_t>(d);
    return static_cast<double>(t) == d && t == i;
}

bool is_number(Kind kind) { return kind == Kind::Integer || kind == Kind::Float; }

}  // namespace

namespace {

// Large buffers are filled once, front to back: large pages spare most of the page faults.
template <typename T>
void reserve_large(T& buffer, std::size_t count) {
    if (buffer.capacity() >= buffer.size() + count) return;
    buffer.reserve(buffer.size() + count);
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t bytes = buffer.capacity() * sizeof(*buffer.data());
    if (bytes < 4 * huge_page) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t from = (begin + huge_page - 1) / huge_page * huge_page;
    const std::uintptr_t to = (begin + bytes) / huge_page * huge_page;
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

}  // namespace

void Store::reserve_for(std::size_t json_bytes) {
    // Typically a value per twenty to thirty bytes of text, and most of the text in strings.
    reserve_large(nodes, json_bytes / 20);
    reserve_large(children, json_bytes / 20);
    reserve_large(chars, json_bytes / 4 * 3);
}

std::uint32_t Store::intern_name(std::string_view name) {
    if (name.size() > 64) {
        const auto at = static_cast<std::uint32_t>(chars.size());
        chars.append(name);
        return at;
    }
    const auto found = names_.find(name);
    if (found != names_.end()) return found->second;
    const auto at = static_cast<std::uint32_t>(chars.size());
    chars.append(name);
    names_.emplace(std::string(name), at);
    return at;
}

std::uint32_t Store::member(std::uint32_t object, std::string_view wanted) const {
    const Node& n = nodes[object];
    if (n.kind != Kind::Object) return no_node;
    for (const std::uint32_t* c = child_begin(n); c != child_end(n); ++c) {
        if (name(nodes[*c]) == wanted) return *c;
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
        if (is_member(node)) {
            append_pointer_token(out, name(node));
        } else {
            append_pointer_token(out, std::to_string(node.name_size));
        }
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
                    const std::uint32_t other = member(y, name(nodes[*c]));
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

Builder::Builder(Store& store, std::uint32_t input, std::uint32_t max_depth)
    : store_(store),
      input_(input),
      max_depth_(max_depth),
      nodes_before_(store.nodes.size()),
      children_before_(store.children.size()) {}

std::uint32_t Builder::append_chars(std::string_view text, std::uint32_t node) {
    const auto at = static_cast<std::uint32_t>(store_.chars.size());
    store_.chars.append(text);
    store_.nodes[node].count = static_cast<std::uint32_t>(text.size());
    return at;
}

std::uint32_t Builder::add(Kind kind) {
    const auto at = static_cast<std::uint32_t>(store_.nodes.size());
    Node& node = store_.nodes.emplace_back();
    node.kind = kind;
    if (open_.empty()) {
        top_ = at;
        store_.inputs.resize(std::max<std::size_t>(store_.inputs.size(), input_ + 1), no_node);
        store_.inputs[input_] = at;
    } else {
        node.parent = open_.back().node;
        const Node& parent = store_.nodes[node.parent];
        if (parent.kind == Kind::Object) {
            node.name_first = store_.intern_name(pending_key_);
            node.name_size = static_cast<std::uint32_t>(pending_key_.size());
        } else {
            node.name_first = no_node;
            node.name_size = static_cast<std::uint32_t>(scratch_.size() - open_.back().scratch_from);
        }
        scratch_.push_back(at);
    }
    has_key_ = false;
    last_ = at;
    return at;
}

Node& Builder::scalar(Kind kind) { return store_.nodes[add(kind)]; }

void Builder::string(std::string_view text) {
    const std::uint32_t at = add(Kind::String);
    const std::uint32_t first = append_chars(text, at);
    store_.nodes[at].first = first;
}

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
    open_.push_back({add(kind), scratch_.size()});
    return true;
}

bool Builder::check_names(std::uint32_t object, std::size_t from) {
    const std::size_t count = scratch_.size() - from;
    const auto name_of = [&](std::size_t i) { return store_.name(store_.nodes[scratch_[from + i]]); };
    std::string_view duplicate;
    bool found = false;
    if (count <= 16) {
        for (std::size_t i = 1; i < count && !found; ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (name_of(i) == name_of(j)) {
                    duplicate = name_of(i);
                    found = true;
                    break;
                }
            }
        }
    } else {
        std::vector<std::string_view> names;
        names.reserve(count);
        for (std::size_t i = 0; i < count; ++i) names.push_back(name_of(i));
        std::sort(names.begin(), names.end());
        const auto at = std::adjacent_find(names.begin(), names.end());
        if (at != names.end()) {
            // Report the first repeated name in input order, whatever the sort found.
            for (std::size_t i = 1; i < count && !found; ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (name_of(i) == name_of(j)) {
                        duplicate = name_of(i);
                        found = true;
                        break;
                    }
                }
            }
        }
    }
    if (!found) return true;
    return fail(DataErrorKind::DuplicateMember,
                store_.location(object) + ": duplicate member name \"" + std::string(duplicate) + "\"");
}

bool Builder::end_container() {
    const Open open = open_.back();
    Node& node = store_.nodes[open.node];
    if (node.kind == Kind::Object && !check_names(open.node, open.scratch_from)) return false;
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
    // Characters stay: interned names may live among them.
    if (input_ < store_.inputs.size()) store_.inputs[input_] = no_node;
}

}  // namespace quarnel::match
