// The loaded JSON values of one observation set: one flat, immutable node store per set.
// Nodes refer to each other by index, so a value set is a list of integers and identity is
// index equality.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "match/errors.hpp"

namespace quarnel::match {

enum class Kind : std::uint8_t { String, Binary, Integer, Float, Boolean, Null, Object, List };

inline constexpr std::uint32_t no_node = UINT32_MAX;

struct Span {
    std::uint32_t first, count;
};

struct Node {
    Kind kind = Kind::Null;
    bool boolean = false;
    std::uint32_t parent = no_node;  // the container, or no_node for an input's top value
    std::uint32_t name_first = 0;    // member name in `chars`; no_node for a list element
    std::uint32_t name_size = 0;     // or the element's position in its list
    std::uint32_t first = 0;         // String/Binary: text in `chars`; containers: children
    std::uint32_t count = 0;
    union {
        std::int64_t integer;
        double real;
        Span decoded;  // Binary: decoded bytes in `bytes`
    };
    Node() : integer(0) {}
};

struct Store {
    std::vector<Node> nodes;
    std::vector<std::uint32_t> children;  // contiguous per container, in input order
    std::string chars;                    // strings and member names
    std::string bytes;                    // decoded binary values
    std::vector<std::uint32_t> inputs;    // top node of each input, by input number

private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> names_;

public:

    const Node& node(std::uint32_t at) const { return nodes[at]; }
    std::string_view text(const Node& n) const { return {chars.data() + n.first, n.count}; }
    std::string_view octets(const Node& n) const {
        return {bytes.data() + n.decoded.first, n.decoded.count};
    }
    std::string_view name(const Node& n) const { return {chars.data() + n.name_first, n.name_size}; }
    bool is_member(const Node& n) const { return n.name_first != no_node; }
    const std::uint32_t* child_begin(const Node& n) const { return children.data() + n.first; }
    const std::uint32_t* child_end(const Node& n) const { return children.data() + n.first + n.count; }

    // The offset in `chars` of a member name, stored once for all members of that name.
    std::uint32_t intern_name(std::string_view name);

    // Room for the values of a JSON text of this size, so that building them does not
    // copy the store over and over while it grows.
    void reserve_for(std::size_t json_bytes);
    // The member of an object node by exact name, or no_node.
    std::uint32_t member(std::uint32_t object, std::string_view name) const;
    // "input N: /json/pointer", or "input N" for an input's top value.
    std::string location(std::uint32_t node) const;
    // Structural equality with member order ignored and numbers compared by value.
    bool equal(std::uint32_t a, std::uint32_t b) const;
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
    void string(std::string_view text);
    void integer(std::int64_t value) { scalar(Kind::Integer).integer = value; }
    void real(double value) { scalar(Kind::Float).real = value; }
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
    Node& scalar(Kind kind);
    std::uint32_t add(Kind kind);
    std::uint32_t append_chars(std::string_view text, std::uint32_t node);
    bool fail(DataErrorKind kind, std::string message);
    bool check_names(std::uint32_t object, std::size_t from);

    struct Open {
        std::uint32_t node;
        std::size_t scratch_from;
    };

    Store& store_;
    std::uint32_t input_;
    std::uint32_t max_depth_;
    std::vector<Open> open_;
    std::vector<std::uint32_t> scratch_;
    std::string_view pending_key_;
    bool has_key_ = false;
    std::uint32_t last_ = no_node;
    std::uint32_t top_ = no_node;
    std::size_t nodes_before_, children_before_;
    DataError error_{DataErrorKind::InvalidJson, ""};
};

}  // namespace quarnel::match
