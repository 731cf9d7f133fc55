// The loaded JSON values of one observation set: one flat, immutable node store per set.
// Nodes refer to each other by index, so a value set is a list of integers and identity is
// index equality.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "match/errors.hpp"

namespace quarnel::match {

enum class Kind : std::uint8_t { String, Binary, Integer, Float, Boolean, Null, Object, List };

inline constexpr std::uint32_t no_node = UINT32_MAX;

// Equality of two texts, inline for the short ones that names and identifiers mostly are.
inline bool same_text(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) return false;
    if (size >= 8 && size <= 16) {
        std::uint64_t a_head, a_tail, b_head, b_tail;
        std::memcpy(&a_head, a.data(), 8);
        std::memcpy(&a_tail, a.data() + size - 8, 8);
        std::memcpy(&b_head, b.data(), 8);
        std::memcpy(&b_tail, b.data() + size - 8, 8);
        return a_head == b_head && a_tail == b_tail;
    }
    if (size < 8) {
        for (std::size_t i = 0; i < size; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
    return a == b;
}

// A fast hash for member names and identifiers: a multiply-xorshift over 8-byte words.
std::uint64_t text_hash(std::string_view text);

struct Span {
    std::uint32_t first, count;
};

// Member names the loader looks up on every object; a store knows them by these ids.
enum class Known : std::uint32_t {
    Type, Id, Objects, ObjectRefs, FirstObserved, LastObserved, NumberObserved, Count
};
inline constexpr std::size_t known_count = static_cast<std::size_t>(Known::Count);

// 24 bytes: a load writes some twenty of these per record, into memory the kernel has just
// zeroed, so every byte of a node costs twice.
struct Node {
    Kind kind = Kind::Null;
    bool boolean = false;
    bool member = false;             // a member of an object (else a list element or a top value)
    bool typed_below = false;        // containers: some member name below has a typed suffix
    std::uint32_t parent = no_node;  // the container, or no_node for an input's top value
    std::uint32_t name = 0;          // a member's name id, or an element's position in its list
    // String/Binary: text in `chars`; containers: children. Integer/Float: the value's bytes.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    union {
        std::uint32_t known = no_node;  // Object: its known members in `Store::known`, if it has any
        std::uint32_t decoded;          // Binary: its decoded bytes' span in `Store::decoded`
    };

    std::int64_t integer() const { return value_as<std::int64_t>(); }
    double real() const { return value_as<double>(); }
    void set_integer(std::int64_t value) { set_value(value); }
    void set_real(double value) { set_value(value); }

private:
    // A number lives in the bytes of `first` and `count`, which numbers do not otherwise use.
    template <typename T>
    T value_as() const {
        T value;
        std::memcpy(&value, reinterpret_cast<const unsigned char*>(this) + offsetof(Node, first), sizeof value);
        return value;
    }
    template <typename T>
    void set_value(T value) {
        std::memcpy(reinterpret_cast<unsigned char*>(this) + offsetof(Node, first), &value, sizeof value);
    }
};
static_assert(sizeof(Node) == 24 && offsetof(Node, count) == offsetof(Node, first) + 4);

// Buffers of many megabytes come straight from the kernel, 2 MiB aligned and marked for
// huge pages: a store is filled front to back once, and fresh memory in 4 KiB pages costs
// more than building the values that go into it.
void* allocate_large(std::size_t bytes);
void release_large(void* at, std::size_t bytes);

template <typename T>
struct LargeAllocator {
    using value_type = T;
    static constexpr std::size_t threshold = std::size_t{4} << 20;

    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(std::size_t count) {
        if (count * sizeof(T) < threshold) return std::allocator<T>().allocate(count);
        return static_cast<T*>(allocate_large(count * sizeof(T)));
    }
    void deallocate(T* at, std::size_t count) {
        if (count * sizeof(T) < threshold) {
            std::allocator<T>().deallocate(at, count);
        } else {
            release_large(at, count * sizeof(T));
        }
    }
    template <typename U>
    bool operator==(const LargeAllocator<U>&) const { return true; }
};

using LargeString = std::basic_string<char, std::char_traits<char>, LargeAllocator<char>>;
template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

struct Store {
    LargeVector<Node> nodes;
    LargeVector<std::uint32_t> children;  // per container, in input order
    LargeString chars;                    // strings and member names
    std::string bytes;                    // decoded binary values
    std::vector<Span> decoded;            // per Binary node: its bytes in `bytes`
    std::vector<std::uint32_t> inputs;    // top node of each input, by input number
    // Per object that has some: its member of each known name, or no_node.
    LargeVector<std::array<std::uint32_t, known_count>> known;

    Store();

    const Node& node(std::uint32_t at) const { return nodes[at]; }
    std::string_view text(const Node& n) const { return {chars.data() + n.first, n.count}; }
    std::string_view octets(const Node& n) const {
        const Span span = decoded[n.decoded];
        return {bytes.data() + span.first, span.count};
    }
    // A member's name (every distinct name is stored once and known by its id).
    std::string_view name(const Node& n) const { return name_text(n.name); }
    std::string_view name_text(std::uint32_t id) const {
        return {chars.data() + names_[id].first, names_[id].count};
    }
    bool is_member(const Node& n) const { return n.member; }
    // Whether a name ends with one of the suffixes that type a property's value (_hex, _bin,
    // _ref, _refs): the loader checks such members, and only containers holding some.
    bool typed_name(std::uint32_t id) const { return typed_names_[id] != 0; }
    std::size_t name_count() const { return names_.size(); }
    const std::uint32_t* child_begin(const Node& n) const { return children.data() + n.first; }
    const std::uint32_t* child_end(const Node& n) const { return children.data() + n.first + n.count; }

    // The id of a member name, added if new. `previous` is the id of the member before it in
    // its object, or no_node for the first: objects of one kind repeat their names in the same
    // order, so the two names that followed `previous` lately are tried before any hashing.
    std::uint32_t intern_name(std::string_view name, std::uint32_t previous = no_node) {
        std::uint32_t* const guesses = guesses_after(previous);
        for (int i = 0; i < 2; ++i) {
            if (guesses[i] != no_node && same_text(name_text(guesses[i]), name)) return guesses[i];
        }
        return intern_missed(name, guesses);
    }
    // The id of a member name, or no_node when no member has that name.
    std::uint32_t find_name(std::string_view name) const;

    // Room for the values of a JSON text of this size, so that building them does not
    // copy the store over and over while it grows.
    void reserve_for(std::size_t json_bytes);
    // The member of an object node by exact name, or no_node.
    std::uint32_t member(std::uint32_t object, std::string_view name) const;
    std::uint32_t member_by_id(std::uint32_t object, std::uint32_t name_id) const;
    std::uint32_t member(std::uint32_t object, Known name) const {
        const Node& n = nodes[object];
        if (n.kind != Kind::Object || n.known == no_node) return no_node;
        return known[n.known][static_cast<std::size_t>(name)];
    }
    // "input N: /json/pointer", or "input N" for an input's top value.
    std::string location(std::uint32_t node) const;
    // Structural equality with member order ignored and numbers compared by value.
    bool equal(std::uint32_t a, std::uint32_t b) const;

private:
    std::uint32_t slot_of(std::string_view name, std::uint64_t hash) const;
    std::uint32_t intern_hashed(std::string_view name);
    std::uint32_t* guesses_after(std::uint32_t previous) {
        const std::size_t after = 2 * (previous == no_node ? 0 : std::size_t{previous} + 1);
        if (after >= name_after_.size()) grow_guesses();
        return name_after_.data() + after;
    }
    void grow_guesses();
    std::uint32_t intern_missed(std::string_view name, std::uint32_t* guesses);

    std::vector<Span> names_;                // by id: the name's text in `chars`
    std::vector<std::uint64_t> name_hashes_;  // by id
    std::vector<std::uint8_t> typed_names_;   // by id
    std::vector<std::uint32_t> name_slots_;   // open addressing: id + 1, or 0 for a free slot
    std::vector<std::uint32_t> name_after_;   // by previous id + 1: the two names that followed it last
};

// Builds the nodes of one input from a stream of events, checking depth and duplicate
// member names. Used by the JSON readers and by bindings that hold parsed values already.
class Builder {
public:
    Builder(Store& store, std::uint32_t input, std::uint32_t max_depth);

    // Each returns false with error() set when the value cannot be added.
    bool begin_object() { return begin(Kind::Object); }
    bool begin_list() { return begin(Kind::List); }
    bool end_container();  // objects: checks member names
    void key(std::string_view name) { pending_key_ = name; has_key_ = true; }
    void string(std::string_view text) {
        const std::uint32_t at = add(Kind::String);
        Node& node = store_.nodes[at];
        node.first = static_cast<std::uint32_t>(store_.chars.size());
        node.count = static_cast<std::uint32_t>(text.size());
        store_.chars.append(text);
    }
    void integer(std::int64_t value) { scalar(Kind::Integer).set_integer(value); }
    void real(double value) { scalar(Kind::Float).set_real(value); }
    void boolean(bool value) { scalar(Kind::Boolean).boolean = value; }
    void null() { scalar(Kind::Null); }

    // The location the next value would get, for errors found by the caller.
    std::string next_location() const;
    std::uint32_t depth() const { return static_cast<std::uint32_t>(open_.size()); }
    std::uint32_t last_node() const { return last_; }
    const DataError& error() const { return error_; }
    // The input's top node once the stream is complete.
    std::uint32_t finish();
    // Drops whatever this builder added to the store (after a failure).
    void discard();

private:
    bool begin(Kind kind);
    Node& scalar(Kind kind) { return store_.nodes[add(kind)]; }
    std::uint32_t add(Kind kind) {
        const auto at = static_cast<std::uint32_t>(store_.nodes.size());
        Node node;
        node.kind = kind;
        if (open_.empty()) {
            start_input(at);
        } else {
            Open& open = open_.back();
            node.parent = open.node;
            if (open.object) {
                node.member = true;
                node.name = store_.intern_name(pending_key_, open.previous_name);
                open.previous_name = node.name;
            } else {
                node.name = static_cast<std::uint32_t>(scratch_.size() - open.scratch_from);
            }
            scratch_.push_back(at);
        }
        store_.nodes.push_back(node);
        has_key_ = false;
        last_ = at;
        return at;
    }
    void start_input(std::uint32_t top);
    bool fail(DataErrorKind kind, std::string message);
    bool check_names(std::uint32_t object, std::size_t from);

    struct Open {
        std::uint32_t node;
        std::size_t scratch_from;
        bool object;
        std::uint32_t previous_name;  // of an object's latest member, no_node before the first
    };

    Store& store_;
    std::uint32_t input_;
    std::uint32_t max_depth_;
    std::vector<Open> open_;
    std::vector<std::uint32_t> scratch_;
    std::vector<std::uint32_t> seen_;  // by name id: the last object check that met the name
    std::uint32_t checks_ = 0;
    std::string_view pending_key_;
    bool has_key_ = false;
    std::uint32_t last_ = no_node;
    std::uint32_t top_ = no_node;
    std::size_t nodes_before_, children_before_, known_before_;
    DataError error_{DataErrorKind::InvalidJson, ""};
};

}  // namespace quarnel::match
