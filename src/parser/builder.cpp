#include "parser/builder.hpp"

#include <algorithm>
#include <cassert>
#include <array>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "parser/conversions.hpp"
#include "parser/grammar.hpp"
#include "parser/nesting_budget.hpp"
#include "parser/stix_parser.hpp"
#include "parser/timestamp.hpp"

// Nothing here recurses: operator chains are folded in loops, and each level of
// parentheses is a frame on an explicit stack in the heap, so the building costs the
// same thread stack at any depth. Steps build into their caller's node and leave the
// first error in one shared place.

namespace quarnel::parser {

namespace {

using ast::BooleanOp;
using ast::ComparisonExpr;
using ast::ComparisonOp;
using ast::ObservationOp;
using ast::PatternExpr;

ParseError missing(std::string_view context) {
    return ParseError(ParseError::MissingElement{context});
}

// Holds the error that ended a build; every step returns false once it is set. Setting one
// is rare and kept out of line, so that the steps' common paths stay short in the
// instruction cache, which the grammar shares.
class Failure {
public:
    // The first error stands: a build while matching goes on after one.
    [[gnu::cold, gnu::noinline]] bool set(ParseError&& error) {
        if (!error_) error_.emplace(std::move(error));
        return false;
    }
    [[gnu::cold, gnu::noinline]] bool missing(std::string_view context) { return set(parser::missing(context)); }
    [[gnu::cold, gnu::noinline]] bool unexpected(Rule rule) { return set(ParseError(ParseError::UnexpectedRule{rule})); }

    template <typename T>
    bool take(Result<T>&& result, T& out) {
        if (!result) {
            return set(std::move(result).error());
        }
        out = std::move(result).value();
        return true;
    }

    bool failed() const { return error_.has_value(); }
    ParseError error() && { return std::move(*error_); }

private:
    std::optional<ParseError> error_;
};

// The parse tree as its preorder array: the children of node `i` follow it, and the
// sibling after it is at `end_of(i)`. Steps read nodes by index so that a walk costs a
// few instructions a node.
class FlatTree {
public:
    explicit FlatTree(Node node)
        : tree_(&node.tree()), flat_(node.tree().flat_nodes().data()), input_(node.tree().input()) {}

    Rule rule(std::uint32_t i) const { return at(i).rule; }
    std::uint8_t detail(std::uint32_t i) const { return at(i).detail; }
    std::string_view text(std::uint32_t i) const {
        return {input_.data() + at(i).begin, std::size_t{at(i).end} - at(i).begin};
    }
    std::uint32_t end_of(std::uint32_t i) const { return i + 1 + at(i).descendants; }
    // The nodes from `first` up to `end`: debug builds check that the first was not given
    // up, and so none after it.
    std::span<const FlatNode> nodes(std::uint32_t first, std::uint32_t end) const {
        if (first < end) (void)at(first);
        return {flat_ + first, std::size_t{end} - first};
    }
    // Texts of the tree lie in the input, which may be read up to here.
    const char* readable_end() const { return input_.data() + input_.size(); }
    // The nodes before `i` are not read again (see ParseTree::release_before).
    void release_before(std::uint32_t i) const { tree_->release_before(Node(*tree_, i)); }

private:
    const FlatNode& at(std::uint32_t i) const {
#ifndef NDEBUG
        (void)Node(*tree_, i).rule();  // checks that the node was not given up
#endif
        return flat_[i];
    }

    const ParseTree* tree_;
    const FlatNode* flat_;
    std::string_view input_;
};

// Runs a build step from `node` into `out`, which must be fresh.
template <typename T, typename Build>
Status build_into(Node node, Build build, T& out) {
    Failure failure;
    if (!build(FlatTree(node), node.index(), out, failure)) {
        return std::move(failure).error();
    }
    return Done{};
}

// A new output, built by `into` in its place in the result.
template <typename T, typename Into>
Result<T> built(Into into) {
    Result<T> result{std::in_place};
    if (Status status = into(result.value()); !status) {
        result = std::move(status).error();
    }
    return result;
}

// The operator and qualifier nodes a build from `node` can make at most, and the room its
// long texts can take. The grammar has counted both for its whole tree.
ParseTree::BlockNeeds block_needs(Node node) {
    if (node.subtree().size() == node.tree().flat_nodes().size()) {
        return node.tree().block_needs();
    }
    ParseTree::BlockNeeds needs;
    for (const FlatNode& flat : node.subtree()) {
        needs.add(flat.rule, flat.end - flat.begin);
    }
    return needs;
}

template <typename T>
using TreeStep = bool (*)(const FlatTree&, std::uint32_t, T&, Failure&, ast::NodeBlock&);

constexpr std::size_t node_slot = std::max(sizeof(PatternExpr), sizeof(ComparisonExpr));

// Builds a tree whose operator and qualifier nodes, and texts too long to lie inside a
// node, all come from one block.
template <typename T>
Status build_with_block(Node node, TreeStep<T> build, T& out, ast::NodeBlock& nodes) {
    return build_into(
        node,
        [&](const FlatTree& tree, std::uint32_t at, T& into, Failure& failure) {
            return build(tree, at, into, failure, nodes);
        },
        out);
}

// The block of a build from `node`, sized by what the grammar counted.
ast::NodeBlock block_for(Node node) {
    const ParseTree::BlockNeeds needs = block_needs(node);
    return ast::NodeBlock(needs.heap_nodes, node_slot, 0, needs.text_room);
}

template <typename T>
Result<T> build_tree(Node node, TreeStep<T> build) {
    ast::NodeBlock nodes = block_for(node);
    return built<T>([&](T& out) { return build_with_block(node, build, out, nodes); });
}

// A pattern's root kept with the chunks of its nodes and texts, and with them dropped: a
// tree that owns nothing outside its block is given back by freeing the chunks, without
// visiting its nodes (on a long chain, a walk over tens of megabytes that no cache holds).
// The block itself lives only while the tree is built; the tree keeps its chunks once the
// build succeeded (`keep`), or is destroyed node by node. Nothing may move nodes out of it:
// it is only ever shared as a constant.
class SharedTree {
public:
    SharedTree() { std::construct_at(&root_); }
    SharedTree(const SharedTree&) = delete;
    SharedTree& operator=(const SharedTree&) = delete;
    ~SharedTree() {
        if (chunks_.owns_all()) {
            chunks_.abandon();
        } else {
            std::destroy_at(&root_);
        }
    }

    PatternExpr& root() { return root_; }
    void keep(ast::NodeBlock& nodes) { chunks_ = nodes.finish(); }

private:
    union {
        PatternExpr root_;
    };
    ast::NodeBlock::Chunks chunks_;
};

std::optional<ObservationOp> observation_op(Rule rule) {
    switch (rule) {
        case Rule::and_:
            return ObservationOp::AND;
        case Rule::or_:
            return ObservationOp::OR;
        case Rule::followedby:
            return ObservationOp::FOLLOWEDBY;
        default:
            return std::nullopt;
    }
}

constexpr std::optional<ComparisonOp> comparison_op(Rule rule) {
    switch (rule) {
        case Rule::equal:
            return ComparisonOp::EQ;
        case Rule::not_equal:
            return ComparisonOp::NEQ;
        case Rule::gt:
            return ComparisonOp::GT;
        case Rule::lt:
            return ComparisonOp::LT;
        case Rule::ge:
            return ComparisonOp::GE;
        case Rule::le:
            return ComparisonOp::LE;
        case Rule::in:
            return ComparisonOp::IN;
        case Rule::like:
            return ComparisonOp::LIKE;
        case Rule::match:
            return ComparisonOp::MATCHES;
        case Rule::issubset:
            return ComparisonOp::ISSUBSET;
        case Rule::issuperset:
            return ComparisonOp::ISSUPERSET;
        default:
            return std::nullopt;
    }
}

// The `Alternative` a fresh node or value already holds (its first, default one), or a
// new one: building into it saves making it twice.
template <typename Alternative, typename Variant>
Alternative& held(Variant& variant) {
    if (auto* alternative = std::get_if<Alternative>(&variant)) {
        return *alternative;
    }
    return variant.template emplace<Alternative>();
}

// --- folding and qualifying ---

// An observation or group stays as it is when no qualifier follows it.
void apply_qualifiers(PatternExpr& target, const QualifierSet& set, ast::NodeBlock& nodes) {
    if (set.empty()) {
        return;
    }
    auto operand = nodes.make<PatternExpr>(std::move(target));
    target.value.emplace<ast::QualifiedPattern>(std::move(operand), set.repeat, set.within, set.start, set.stop);
}

// --- qualifiers ---

// A number or time of a qualifier of rule `kind`, matched by rule `value`, into `set`. Each
// number of a qualifier replaces the one before it, so the last one written counts; the first
// time of all intervals after one operand is its start, every later one replaces the stop.
// False when the conversion fails.
bool qualifier_value_into(Rule kind, Rule value, std::string_view text, QualifierSet& set, Failure& failure) {
    switch (kind) {
        case Rule::repeat:
            if (value == Rule::pos_int) {
                std::uint32_t count = 0;
                if (!failure.take(parse_uint32(text), count)) return false;
                set.repeat = count;
            }
            return true;
        case Rule::within:
            if (value == Rule::pos_int || value == Rule::pos_float) {
                double seconds = 0;
                if (!failure.take(parse_float64(text), seconds)) return false;
                set.within = seconds;
            }
            return true;
        case Rule::interval:
            if (value == Rule::time) {
                ast::Timestamp instant;
                if (!failure.take(parse_timestamp(text), instant)) return false;
                (set.start ? set.stop : set.start) = instant;
            }
            return true;
        default:
            return true;
    }
}

bool qualifier_into(const FlatTree& tree, std::uint32_t node, QualifierSet& set, Failure& failure) {
    const std::uint32_t kind = node + 1;
    if (kind == tree.end_of(node)) {
        return failure.missing("qualifier content");
    }
    for (std::uint32_t child = kind + 1; child < tree.end_of(kind); child = tree.end_of(child)) {
        if (!qualifier_value_into(tree.rule(kind), tree.rule(child), tree.text(child), set, failure)) {
            return false;
        }
    }
    return true;
}

// --- leaves, built in place ---

// A text too long to lie inside its node, in the parse's block; `write` puts it in room of
// `room` bytes and returns its length, which may leave it short after all.
template <typename Write>
[[gnu::noinline]] ast::Text text_in_block(std::size_t room, Write write, ast::NodeBlock& nodes) {
    char* const bytes = nodes.text_room(room);
    if (bytes == nullptr) {
        nodes.note_outside();
        std::string own(room, '\0');
        return ast::Text(std::string_view(own.data(), write(own.data())));
    }
    const std::size_t size = write(bytes);
    if (size <= ast::Text::inline_capacity) {
        return ast::Text(std::string_view(bytes, size));  // the room stays free
    }
    nodes.text_taken(size);
    return ast::Text::adopt(bytes, size);
}

// `text`, a part of the input, which may be read up to `readable_end`, as a text of the
// tree: inside its node when short, else in the parse's block.
ast::Text tree_text(const char* readable_end, std::string_view text, ast::NodeBlock& nodes) {
    if (text.size() <= ast::Text::inline_capacity) {
        return ast::Text::short_within(text, readable_end);
    }
    return text_in_block(
        text.size(), [text](char* out) { return static_cast<std::size_t>(std::copy(text.begin(), text.end(), out) - out); },
        nodes);
}

ast::Text tree_text(const FlatTree& tree, std::string_view text, ast::NodeBlock& nodes) {
    return tree_text(tree.readable_end(), text, nodes);
}

// A string constant's text with its escapes resolved, which only shortens it.
ast::Text unescaped_text(std::string_view text, ast::NodeBlock& nodes) {
    const auto unescape = [text](char* out) { return unescape_string_to(text, out); };
    if (text.size() <= ast::Text::inline_capacity) {
        return ast::Text::written_inline(unescape);
    }
    return text_in_block(text.size(), unescape, nodes);
}

// A quoted property keeps its quotes in the text, not in its name.
std::string_view property_name(std::string_view text) {
    if (text.size() > 1 && text.front() == '\'' && text.back() == '\'') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

bool index_into(std::string_view text, ast::PathComponent& component, Failure& failure) {
    if (text == "*") {
        component.index = ast::PathIndex{ast::PathIndex::Star{}};
        return true;
    }
    ast::PathIndex::Number number = 0;
    if (!failure.take(parse_uint32(text), number)) {
        return false;
    }
    component.index = ast::PathIndex{number};
    return true;
}

// An empty array with room for `count` items: in a slot of the parse's block when they fit
// one, which keeps the tree whole in the block, else in memory of its own.
template <typename T>
ast::NodeArray<T> array_room(std::size_t count, ast::NodeBlock& nodes) {
    if (void* const room = nodes.slot_room(count * sizeof(T))) {
        return ast::NodeArray<T>::in_room(room, count);
    }
    nodes.note_outside();
    ast::NodeArray<T> array;
    array.reserve(count);
    return array;
}

static_assert(ast::PropertyPath::inline_capacity == inline_path_steps);

// A path about to outgrow the steps its comparison holds moves them to room for all its
// steps, those from `first` on included.
[[gnu::noinline]] void spill_steps(const FlatTree& tree, std::uint32_t first, std::uint32_t end,
                                   ast::PropertyPath& steps, ast::NodeBlock& nodes) {
    const std::size_t count = steps.size() + path_steps(tree.nodes(first, end));
    steps.spill_into(array_room<ast::PathComponent>(count, nodes));
}

// A path's subtree is flat: its object, then for each step its property and index (after a
// step node, which a lean tree leaves out).
bool path_into(const FlatTree& tree, std::uint32_t node, ast::ObjectPath& path, Failure& failure,
               ast::NodeBlock& nodes) {
    ast::PathComponent* step = nullptr;  // the latest
    const std::uint32_t end = tree.end_of(node);
    for (std::uint32_t at = node + 1; at < end; ++at) {
        switch (tree.rule(at)) {
            case Rule::object:
                path.object_type = tree_text(tree, tree.text(at), nodes);
                break;
            case Rule::property:  // begins a step, whether a step node holds it or not (a lean tree)
                if (path.property_path.size() == inline_path_steps) [[unlikely]] {
                    spill_steps(tree, at, end, path.property_path, nodes);
                }
                step = &path.property_path.emplace_back();
                step->property = tree_text(tree, property_name(tree.text(at)), nodes);
                break;
            case Rule::index:
                if (step != nullptr && !index_into(tree.text(at), *step, failure)) {
                    return false;
                }
                break;
            default:
                break;
        }
    }
    return true;
}

template <typename Alternative, typename T>
bool converted_into(Result<T>&& converted, ast::StixValue& out, Failure& failure) {
    if (!converted) {
        return failure.set(std::move(converted).error());
    }
    out.value.emplace<Alternative>(std::move(converted).value());
    return true;
}

// `child` is a constant: the one child of a value node, or where a lean tree leaves the value out.
bool constant_into(const FlatTree& tree, std::uint32_t child, ast::StixValue& out, Failure& failure,
                   ast::NodeBlock& nodes) {
    const std::string_view text = tree.text(child);
    using Value = ast::StixValue;
    switch (tree.rule(child)) {
        case Rule::bool_:
            out.value.emplace<Value::Bool>(text == "true");
            return true;
        case Rule::hex:
            out.value.emplace<Value::Hex>(Value::Hex{tree_text(tree, text, nodes)});
            return true;
        case Rule::bin:
            out.value.emplace<Value::Binary>(Value::Binary{tree_text(tree, text, nodes)});
            return true;
        case Rule::int_:
            return converted_into<Value::Int>(parse_int64(text), out, failure);
        case Rule::float_:
            return converted_into<Value::Float>(parse_float64(text), out, failure);
        case Rule::string:
            // The grammar leaves a node for each escape: a string without one is copied as it is.
            if (tree.end_of(child) == child + 1) {
                assert(text.find('\\') == std::string_view::npos);
                held<Value::String>(out.value) = tree_text(tree, text, nodes);
            } else {
                held<Value::String>(out.value) = unescaped_text(text, nodes);
            }
            return true;
        case Rule::time:
            return converted_into<ast::Timestamp>(parse_timestamp(text), out, failure);
        default:
            return failure.unexpected(tree.rule(child));
    }
}

bool value_into(const FlatTree& tree, std::uint32_t node, ast::StixValue& out, Failure& failure,
                ast::NodeBlock& nodes) {
    const std::uint32_t child = node + 1;
    if (child == tree.end_of(node)) {
        return failure.missing("value content");
    }
    return constant_into(tree, child, out, failure, nodes);
}

bool is_constant(Rule rule) {
    switch (rule) {
        case Rule::bool_:
        case Rule::hex:
        case Rule::bin:
        case Rule::int_:
        case Rule::float_:
        case Rule::string:
        case Rule::time:
            return true;
        default:
            return false;
    }
}

// A value node, or the constant that stands for it in a lean tree.
bool is_value(Rule rule) {
    return rule == Rule::value || is_constant(rule);
}

bool any_value_into(const FlatTree& tree, std::uint32_t node, ast::StixValue& out, Failure& failure,
                    ast::NodeBlock& nodes) {
    return tree.rule(node) == Rule::value ? value_into(tree, node, out, failure, nodes)
                                          : constant_into(tree, node, out, failure, nodes);
}

bool list_into(const FlatTree& tree, std::uint32_t node, ast::ComparisonRhs::List& values, Failure& failure,
               ast::NodeBlock& nodes) {
    const std::uint32_t end = tree.end_of(node);
    std::size_t count = 0;
    for (std::uint32_t child = node + 1; child < end; child = tree.end_of(child)) {
        count += is_value(tree.rule(child)) ? 1 : 0;
    }
    values = array_room<ast::StixValue>(count, nodes);
    for (std::uint32_t child = node + 1; child < end; child = tree.end_of(child)) {
        if (is_value(tree.rule(child)) && !any_value_into(tree, child, values.emplace_back(), failure, nodes)) {
            return false;
        }
    }
    return true;
}

// --- comparisons ---

// `first` is the `exists` child of a comparison whose children end at `end`.
bool exists_into(const FlatTree& tree, std::uint32_t first, std::uint32_t end, ComparisonExpr& out, Failure& failure,
                 ast::NodeBlock& nodes) {
    const std::uint32_t path = tree.end_of(first);
    if (path == end) {
        return failure.missing("path");
    }
    ast::Comparison& comparison = held<ast::Comparison>(out.value);
    comparison.op = ast::UnaryOp::EXISTS;
    return path_into(tree, path, comparison.object_path, failure, nodes);
}

// The operator of each operator rule, looked up instead of switched on, as its choice varies
// from comparison to comparison.
constexpr std::array<ComparisonOp, rule_count> operator_of_rule = [] {
    std::array<ComparisonOp, rule_count> ops{};
    for (std::size_t i = 0; i < rule_count; ++i) {
        ops[i] = comparison_op(static_cast<Rule>(i)).value_or(ComparisonOp::EQ);
    }
    return ops;
}();

// The constant at `node`, a list or a value, into `comparison`.
bool constant_of_comparison_into(const FlatTree& tree, std::uint32_t node, ast::Comparison& comparison,
                                 Failure& failure, ast::NodeBlock& nodes) {
    ast::ComparisonRhs& constant = comparison.constant.emplace();
    if (tree.rule(node) == Rule::list) {
        return list_into(tree, node, constant.value.emplace<ast::ComparisonRhs::List>(), failure, nodes);
    }
    // A new constant holds a value, its first alternative.
    return any_value_into(tree, node, std::get<ast::ComparisonRhs::Value>(constant.value), failure, nodes);
}

// `first` is the path child of a comparison whose children end at `end`.
bool plain_into(const FlatTree& tree, std::uint32_t first, std::uint32_t end, ComparisonExpr& out, Failure& failure,
                ast::NodeBlock& nodes) {
    ast::Comparison& comparison = held<ast::Comparison>(out.value);
    if (!path_into(tree, first, comparison.object_path, failure, nodes)) {
        return false;
    }
    if (const std::uint8_t detail = tree.detail(first - 1); detail != 0) {
        // A lean tree: the operator and NOT lie in the comparison's node, the value follows the path.
        comparison.op = operator_of_rule[detail & operator_detail_mask];
        comparison.negated = (detail & negated_detail) != 0;
        const std::uint32_t value = tree.end_of(first);
        if (value == end) {
            return failure.missing("comparison content");
        }
        return constant_of_comparison_into(tree, value, comparison, failure, nodes);
    }
    std::optional<ComparisonOp> op;
    for (std::uint32_t child = tree.end_of(first); child < end; child = tree.end_of(child)) {
        const Rule rule = tree.rule(child);
        if (const auto found = comparison_op(rule)) {
            op = found;
        } else if (rule == Rule::not_) {
            comparison.negated = true;
        } else if (is_value(rule) || rule == Rule::list) {
            if (!constant_of_comparison_into(tree, child, comparison, failure, nodes)) return false;
        }
    }
    if (!op) {
        return failure.missing("operator");
    }
    comparison.op = *op;
    return true;
}

// A stack whose first four frames lie inside the stack object itself: most patterns nest
// no deeper (a group in a chain of observations already takes three), and then building
// one allocates no frame memory at all. Deeper nesting continues on the heap. The inline
// frames are raw room, made and unmade with the stack's size: GCC zero-fills the whole of
// a default std::optional, some 400 bytes a build here.
template <typename Frame>
class FrameStack {
public:
    FrameStack() = default;
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;
    ~FrameStack() {
        while (!empty()) pop();
    }

    bool empty() const { return size_ == 0; }
    Frame& back() { return *top_; }
    template <typename... Args>
    void emplace(Args&&... args) {
        if (size_ < inline_frames) {
            top_ = std::construct_at(&inline_[size_].frame, std::forward<Args>(args)...);
        } else {
            top_ = &deeper_.emplace_back(std::forward<Args>(args)...);
        }
        ++size_;
    }
    void pop() {
        if (size_ > inline_frames) {
            deeper_.pop_back();
        } else {
            std::destroy_at(top_);
        }
        --size_;
        top_ = size_ == 0 ? nullptr : size_ <= inline_frames ? &inline_[size_ - 1].frame : &deeper_.back();
    }

private:
    union Room {
        Room() {}
        ~Room() {}
        Frame frame;
    };

    static constexpr std::size_t inline_frames = 4;
    std::array<Room, inline_frames> inline_;
    std::vector<Frame> deeper_;
    std::size_t size_ = 0;
    Frame* top_ = nullptr;  // the back, read far more often than the stack changes
};

// Folds a chain of operands strictly from the left into `out`. A lone operand is built
// straight into `out`; in a longer chain each operand is built into a node of its own and
// the operators join them there, the last one in `out`, so no operand moves once built.
template <typename Expr>
class LeftFold {
public:
    using Composite = typename Expr::Composite;
    using Op = decltype(Composite::op);

    explicit LeftFold(bool chained) : chained_(chained) {}

    Expr& operand_target(Expr& out, ast::NodeBlock& nodes) {
        if (!chained_) {
            return out;
        }
        operand_ = nodes.make<Expr>();
        return *operand_;
    }

    // `op` joins the operand just built to those before it; `last` says no operand follows.
    void operand_built(Expr& out, Op op, bool last, ast::NodeBlock& nodes) {
        if (!chained_) {
            return;
        }
        if (!folded_) {
            folded_ = std::move(operand_);
        } else if (last) {
            out.value.template emplace<Composite>(std::move(folded_), op, std::move(operand_));
        } else {
            folded_ = nodes.make<Expr>(Composite(std::move(folded_), op, std::move(operand_)));
        }
    }

    // A chain cut short leaves what it folded in `out`. Trees from the grammar never do: an
    // operator always stands between two operands, and whether a chain has more than one
    // is read from the sibling after the first.
    void finish(Expr& out) {
        if (folded_) {
            out = std::move(*folded_);
            folded_.reset();
        }
    }

private:
    bool chained_;
    std::unique_ptr<Expr> folded_;   // the operands so far
    std::unique_ptr<Expr> operand_;  // the one being built
};

bool is_bool_op(Rule rule) {
    return rule == Rule::and_ || rule == Rule::or_;
}

// The children `next` to `end` of an observation, or of a parenthesised comparison,
// folded strictly from the left into `out`. The pending operator falls back to AND after
// each operand.
struct ChainFrame {
    std::uint32_t next;
    std::uint32_t end;
    ComparisonExpr* out;
    QualifierSet* qualifiers;  // the observation's; null inside parentheses, where none occur
    bool have_operand = false;
    BooleanOp pending = BooleanOp::AND;
    LeftFold<ComparisonExpr> operands;

    ChainFrame(const FlatTree& tree, std::uint32_t first, std::uint32_t stop, ComparisonExpr& target,
               QualifierSet* set)
        : next(first),
          end(stop),
          out(&target),
          qualifiers(set),
          operands(first < stop && tree.end_of(first) < stop && is_bool_op(tree.rule(tree.end_of(first)))) {}

    ComparisonExpr& operand_target(ast::NodeBlock& nodes) { return operands.operand_target(*out, nodes); }

    void operand_built(const FlatTree& tree, ast::NodeBlock& nodes) {
        operands.operand_built(*out, pending, next == end || !is_bool_op(tree.rule(next)), nodes);
        have_operand = true;
        pending = BooleanOp::AND;
    }
};

class ComparisonBuilder {
public:
    ComparisonBuilder(const FlatTree& tree, Failure& failure, ast::NodeBlock& nodes)
        : tree_(tree), failure_(failure), nodes_(nodes) {}

    // The children of `node` as one chain, with the qualifiers among them read into `qualifiers`.
    bool chain(std::uint32_t node, ComparisonExpr& out, QualifierSet* qualifiers) {
        assert(frames_.empty() && "a failed build is not resumed");
        frames_.emplace(tree_, node + 1, tree_.end_of(node), out, qualifiers);
        return run();
    }

    bool comparison(std::uint32_t node, ComparisonExpr& out) {
        assert(frames_.empty() && "a failed build is not resumed");
        return start(node, out) && run();
    }

private:
    bool run() {
        while (!frames_.empty()) {
            if (!step()) return false;
        }
        return true;
    }

    bool step() {
        ChainFrame& frame = frames_.back();
        if (frame.next == frame.end) {
            if (!frame.have_operand) {
                return failure_.missing("comparison");
            }
            frame.operands.finish(*frame.out);
            frames_.pop();
            if (!frames_.empty()) frames_.back().operand_built(tree_, nodes_);
            return true;
        }
        const std::uint32_t child = frame.next;
        frame.next = tree_.end_of(child);
        switch (tree_.rule(child)) {
            case Rule::and_:
                frame.pending = BooleanOp::AND;
                return true;
            case Rule::or_:
                frame.pending = BooleanOp::OR;
                return true;
            case Rule::comparison:
                tree_.release_before(child);
                return start(child, frame.operand_target(nodes_));
            case Rule::qualifier:
                return frame.qualifiers == nullptr || qualifier_into(tree_, child, *frame.qualifiers, failure_);
            default:
                return true;
        }
    }

    // Builds a comparison into `out`; a parenthesised one gets a frame of its own, and the
    // operand counts as built when that frame ends.
    bool start(std::uint32_t node, ComparisonExpr& out) {
        const std::uint32_t first = node + 1;
        const std::uint32_t end = tree_.end_of(node);
        if (first == end) {
            return failure_.missing("comparison content");
        }
        bool built = false;
        switch (tree_.rule(first)) {
            case Rule::exists:
                built = exists_into(tree_, first, end, out, failure_, nodes_);
                break;
            case Rule::path:
                built = plain_into(tree_, first, end, out, failure_, nodes_);
                break;
            case Rule::comparison:
                frames_.emplace(tree_, first, end, out, nullptr);
                return true;
            default:
                return failure_.missing("comparison content");
        }
        if (built && !frames_.empty()) {
            frames_.back().operand_built(tree_, nodes_);
        }
        return built;
    }

    const FlatTree& tree_;
    Failure& failure_;
    ast::NodeBlock& nodes_;
    FrameStack<ChainFrame> frames_;
};

bool comparison_into(const FlatTree& tree, std::uint32_t node, ComparisonExpr& out, Failure& failure,
                     ast::NodeBlock& nodes) {
    return ComparisonBuilder(tree, failure, nodes).comparison(node, out);
}

// --- observation expressions ---

// An `expression` folding operand (operator operand)* strictly from the left, all
// operators of one standing; or a parenthesised group, whose qualifiers apply once its
// expression is built (without qualifiers it leaves no trace in the tree).
struct PatternFrame {
    Rule kind;  // Rule::expression or Rule::observation_group
    std::uint32_t next;
    std::uint32_t end;
    PatternExpr* out;
    bool have_operand = false;  // for a group: its expression
    ObservationOp pending = ObservationOp::AND;
    LeftFold<PatternExpr> operands;
    QualifierSet qualifiers;

    PatternFrame(const FlatTree& tree, Rule rule, std::uint32_t first, std::uint32_t stop, PatternExpr& target)
        : kind(rule),
          next(first),
          end(stop),
          out(&target),
          operands(rule == Rule::expression && first < stop && tree.end_of(first) < stop) {}

    PatternExpr& operand_target(ast::NodeBlock& nodes) { return operands.operand_target(*out, nodes); }

    void operand_built(ast::NodeBlock& nodes) {
        operands.operand_built(*out, pending, next == end, nodes);
        have_operand = true;
    }
};

class PatternBuilder {
public:
    PatternBuilder(const FlatTree& tree, Failure& failure, ast::NodeBlock& nodes)
        : tree_(tree), failure_(failure), nodes_(nodes), comparisons_(tree, failure, nodes) {}

    // `node` is a pattern, an expression, an observation or a group.
    bool build(std::uint32_t node, PatternExpr& out) { return start(node, out) && run(); }

    // The children of `node`, whatever its rule, as an expression.
    bool build_expression(std::uint32_t node, PatternExpr& out) { return open(Rule::expression, node, out) && run(); }

private:
    bool run() {
        while (!frames_.empty()) {
            PatternFrame& frame = frames_.back();
            const bool stepped = frame.kind == Rule::expression ? expression_step(frame) : group_step(frame);
            if (!stepped) return false;
        }
        return true;
    }

    bool open(Rule kind, std::uint32_t node, PatternExpr& out) {
        if (kind == Rule::expression && node + 1 == tree_.end_of(node)) {
            return failure_.missing("expression");
        }
        frames_.emplace(tree_, kind, node + 1, tree_.end_of(node), out);
        return true;
    }

    bool start(std::uint32_t node, PatternExpr& out) {
        switch (tree_.rule(node)) {
            case Rule::pattern:
                for (std::uint32_t child = node + 1; child < tree_.end_of(node); child = tree_.end_of(child)) {
                    if (tree_.rule(child) == Rule::expression) {
                        return start(child, out);
                    }
                }
                return failure_.missing("expression");
            case Rule::expression:
            case Rule::observation_group:
                return open(tree_.rule(node), node, out);
            case Rule::observation:
                if (!observation_into(node, out)) {
                    return false;
                }
                operand_built();
                return true;
            default:
                return failure_.unexpected(tree_.rule(node));
        }
    }

    bool observation_into(std::uint32_t node, PatternExpr& out) {
        // Most observations hold one comparison and no qualifier: nothing to fold or apply.
        const std::uint32_t first = node + 1;
        const std::uint32_t end = tree_.end_of(node);
        if (first < end && tree_.end_of(first) == end && tree_.rule(first) == Rule::comparison) {
            return comparisons_.comparison(first, held<PatternExpr::Observation>(out.value));
        }
        QualifierSet qualifiers;
        if (!comparisons_.chain(node, held<PatternExpr::Observation>(out.value), &qualifiers)) {
            return false;
        }
        apply_qualifiers(out, qualifiers, nodes_);
        return true;
    }

    bool expression_step(PatternFrame& frame) {
        if (frame.next == frame.end) {
            return finish();
        }
        if (!frame.have_operand) {
            const std::uint32_t first = frame.next;
            frame.next = tree_.end_of(first);
            return start(first, frame.operand_target(nodes_));
        }
        const std::uint32_t op_node = frame.next;
        const auto op = observation_op(tree_.rule(op_node));
        if (!op) {
            return failure_.unexpected(tree_.rule(op_node));
        }
        const std::uint32_t right = tree_.end_of(op_node);
        if (right == frame.end) {
            return failure_.missing("right operand");
        }
        frame.next = tree_.end_of(right);
        tree_.release_before(right);
        frame.pending = *op;
        return start(right, frame.operand_target(nodes_));
    }

    bool group_step(PatternFrame& frame) {
        if (frame.next == frame.end) {
            if (!frame.have_operand) {
                return failure_.missing("expression");
            }
            apply_qualifiers(*frame.out, frame.qualifiers, nodes_);
            return finish();
        }
        const std::uint32_t child = frame.next;
        frame.next = tree_.end_of(child);
        switch (tree_.rule(child)) {
            case Rule::expression:
                return start(child, *frame.out);
            case Rule::qualifier:
                return qualifier_into(tree_, child, frame.qualifiers, failure_);
            default:
                return true;
        }
    }

    bool finish() {
        frames_.back().operands.finish(*frames_.back().out);
        frames_.pop();
        operand_built();
        return true;
    }

    // The node being built is done: the innermost open frame takes it as its operand.
    void operand_built() {
        if (!frames_.empty()) {
            frames_.back().operand_built(nodes_);
        }
    }

    const FlatTree& tree_;
    Failure& failure_;
    ast::NodeBlock& nodes_;
    ComparisonBuilder comparisons_;  // kept, so that its frames are allocated once
    FrameStack<PatternFrame> frames_;
};

// --- building while matching ---

// The items of one list or path while the grammar matches it: a few inline, more on the
// heap. The inline ones are raw room, made as they are pushed: a parse that matches no list
// makes none.
template <typename T, std::size_t Inline>
class Staging {
public:
    Staging() = default;
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging() { clear(); }

    std::size_t size() const { return size_; }
    void clear() {
        for (std::size_t i = 0; i < std::min(size_, Inline); ++i) std::destroy_at(&inline_[i].item);
        size_ = 0;
        more_.clear();
    }
    T& push() {
        ++size_;
        if (size_ <= Inline) {
            return *std::construct_at(&inline_[size_ - 1].item);
        }
        return more_.emplace_back();
    }
    T& operator[](std::size_t i) { return i < Inline ? inline_[i].item : more_[i - Inline]; }
    T& back() { return (*this)[size_ - 1]; }

private:
    union Room {
        Room() {}
        ~Room() {}
        T item;
    };
    std::array<Room, Inline> inline_;
    std::vector<T> more_;
    std::size_t size_ = 0;
};

// A chain of operands folded strictly from the left while it is matched. Until an operator
// follows it, the first operand is built straight into `out`, where a lone one stays; the
// first operator moves it into a node of its own, each later operand is built into a node
// and joined at once, and the end moves the whole chain into `out`.
template <typename Expr>
struct MatchedChain {
    using Composite = typename Expr::Composite;
    using Op = decltype(Composite::op);

    Expr* out;
    std::unique_ptr<Expr> folded;
    std::unique_ptr<Expr> operand;
    Op pending{};

    explicit MatchedChain(Expr& target) : out(&target) {}

    Expr& operand_target(ast::NodeBlock& nodes) {
        if (!folded) {
            return *out;
        }
        operand = nodes.make<Expr>();
        return *operand;
    }
    void op(Op matched, ast::NodeBlock& nodes) {
        pending = matched;
        if (!folded) {
            folded = nodes.make<Expr>(std::move(*out));
        }
    }
    void operand_built(ast::NodeBlock& nodes) {
        if (operand) {
            folded = nodes.make<Expr>(Composite(std::move(folded), pending, std::move(operand)));
        }
    }
    void finish() {
        if (folded) {
            *out = std::move(*folded);
            folded.reset();
        }
    }
};

// An expression, an observation or a group being matched: an expression folds its operands,
// the other two gather the qualifiers that follow them.
struct MatchedPattern {
    MatchedChain<PatternExpr> chain;
    std::optional<QualifierSet> qualifiers;  // made by the first qualifier: most have none

    explicit MatchedPattern(PatternExpr& target) : chain(target) {}
};

struct StepSpans {
    std::string_view property;
    std::string_view index;
};

// Builds the syntax tree while the grammar matches it (a run with Context::build): the
// grammar hands over each rule it enters and each it matched, in the order of the text, and
// the builder fills the tree in place, without deciding again what the grammar decided.
// Where an attempt fails after the tree changed, the tree is spoilt and the caller builds
// from a parse tree instead: the grammar rarely backs out so on the way to a pattern it
// accepts (`[EXISTSa:b]`, first read as a path, is such a pattern). A conversion that fails
// leaves its error, the first in the text, which counts once the grammar accepted it all.
class TreeSink {
public:
    TreeSink(std::string_view input, PatternExpr& root, ast::NodeBlock& nodes, Failure& failure)
        : readable_end_(input.data() + input.size()), root_(&root), nodes_(nodes), failure_(failure) {}

    template <Rule Id>
    static constexpr bool handles =
        is_comparison_operator(Id) || Id == Rule::expression || Id == Rule::observation ||
        Id == Rule::observation_group || Id == Rule::comparison || Id == Rule::comparison_expression ||
        Id == Rule::list || Id == Rule::path || Id == Rule::object || Id == Rule::property || Id == Rule::index ||
        Id == Rule::string || Id == Rule::string_escape || Id == Rule::bool_ || Id == Rule::hex ||
        Id == Rule::bin || Id == Rule::int_ || Id == Rule::float_ || Id == Rule::time || Id == Rule::pos_int ||
        Id == Rule::pos_float || Id == Rule::not_ || Id == Rule::exists || Id == Rule::and_ || Id == Rule::or_ ||
        Id == Rule::followedby || Id == Rule::repeat || Id == Rule::within || Id == Rule::interval;

    std::size_t changes() const { return changes_; }
    void spoil() { spoiled_ = true; }
    bool spoiled() const { return spoiled_; }

    template <Rule Id>
    void enter() {
        if constexpr (Id == Rule::expression) {
            expression_entered();
        } else if constexpr (Id == Rule::observation || Id == Rule::observation_group) {
            operand_entered();
        } else if constexpr (Id == Rule::comparison_expression) {
            chain_entered();
        } else if constexpr (Id == Rule::comparison) {
            comparison_entered();
        } else if constexpr (Id == Rule::list) {
            in_list_ = true;
            values_.clear();
        } else if constexpr (Id == Rule::path) {
            steps_.clear();
        } else if constexpr (Id == Rule::string) {
            escaped_ = false;
        } else if constexpr (Id == Rule::repeat || Id == Rule::within || Id == Rule::interval) {
            qualifier_ = Id;
        }
    }

    template <Rule Id>
    void failed() {
        if constexpr (Id == Rule::list) {
            in_list_ = false;
        } else if constexpr (Id == Rule::repeat || Id == Rule::within || Id == Rule::interval) {
            qualifier_ = Rule::EOI;
        }
    }

    template <Rule Id>
    void matched(std::string_view text) {
        if constexpr (Id == Rule::expression) {
            expression_matched();
        } else if constexpr (Id == Rule::observation || Id == Rule::observation_group) {
            operand_matched();
        } else if constexpr (Id == Rule::comparison_expression) {
            chain_matched();
        } else if constexpr (Id == Rule::comparison) {
            comparison_matched();
        } else if constexpr (Id == Rule::path) {
            ++changes_;
            path_matched();
        } else if constexpr (Id == Rule::object) {
            object_ = text;
        } else if constexpr (Id == Rule::property) {
            steps_.push().property = property_name(text);
        } else if constexpr (Id == Rule::index) {
            steps_.back().index = text;
        } else if constexpr (Id == Rule::list) {
            ++changes_;
            list_matched();
        } else if constexpr (Id == Rule::string_escape) {
            escaped_ = true;
        } else if constexpr (is_comparison_operator(Id)) {
            ++changes_;
            comparison().op = operator_of_rule[static_cast<std::size_t>(Id)];
        } else if constexpr (Id == Rule::not_) {
            ++changes_;
            comparison().negated = true;
        } else if constexpr (Id == Rule::exists) {
            ++changes_;
            comparison().op = ast::UnaryOp::EXISTS;
        } else if constexpr (Id == Rule::and_ || Id == Rule::or_) {
            if (!chains_.empty()) {
                comparison_op_matched(Id == Rule::and_ ? BooleanOp::AND : BooleanOp::OR);
            } else {
                observation_op_matched(Id == Rule::and_ ? ObservationOp::AND : ObservationOp::OR);
            }
        } else if constexpr (Id == Rule::followedby) {
            observation_op_matched(ObservationOp::FOLLOWEDBY);
        } else if constexpr (Id == Rule::repeat || Id == Rule::within || Id == Rule::interval) {
            qualifier_ = Rule::EOI;
        } else if constexpr (Id == Rule::pos_int || Id == Rule::pos_float) {
            ++changes_;
            (void)qualifier_value_into(qualifier_, Id, text, qualifiers(), failure_);
        } else if constexpr (Id == Rule::time) {
            ++changes_;
            if (qualifier_ == Rule::interval) {
                (void)qualifier_value_into(qualifier_, Id, text, qualifiers(), failure_);
            } else {
                converted_into<ast::Timestamp>(parse_timestamp(text), value(), failure_);
            }
        } else {
            ++changes_;
            constant_matched<Id>(text);
        }
    }

private:
    using Value = ast::StixValue;

    // The steps of the rules that nest stay out of line: the grammar's recursion passes
    // through them, and each level of it must take no more stack than the nesting bound allows.
    [[gnu::noinline]] void expression_entered() {
        ++changes_;
        patterns_.emplace(patterns_.empty() ? *root_ : *patterns_.back().chain.out);
    }
    [[gnu::noinline]] void expression_matched() {
        ++changes_;
        patterns_.back().chain.finish();
        patterns_.pop();
    }
    // An observation or a group, an operand of the expression around it.
    [[gnu::noinline]] void operand_entered() {
        ++changes_;
        patterns_.emplace(patterns_.back().chain.operand_target(nodes_));
    }
    [[gnu::noinline]] void operand_matched() {
        ++changes_;
        if (patterns_.back().qualifiers) {
            apply_qualifiers(*patterns_.back().chain.out, *patterns_.back().qualifiers, nodes_);
        }
        patterns_.pop();
        patterns_.back().chain.operand_built(nodes_);
    }
    // The comparisons inside brackets or parentheses.
    [[gnu::noinline]] void chain_entered() {
        ++changes_;
        chains_.emplace(chains_.empty() ? held<PatternExpr::Observation>(patterns_.back().chain.out->value) : *target_);
    }
    [[gnu::noinline]] void chain_matched() {
        ++changes_;
        chains_.back().finish();
        chains_.pop();
    }
    [[gnu::noinline]] void comparison_entered() {
        ++changes_;
        target_ = &chains_.back().operand_target(nodes_);
    }
    [[gnu::noinline]] void comparison_matched() {
        ++changes_;
        chains_.back().operand_built(nodes_);
    }
    // The operators between them, which the recursion passes through too.
    [[gnu::noinline]] void comparison_op_matched(BooleanOp op) {
        ++changes_;
        chains_.back().op(op, nodes_);
    }
    [[gnu::noinline]] void observation_op_matched(ObservationOp op) {
        ++changes_;
        patterns_.back().chain.op(op, nodes_);
    }

    ast::Comparison& comparison() { return held<ast::Comparison>(target_->value); }

    // Where the constant just matched goes: the next value of a list, or the comparison's.
    Value& value() {
        if (in_list_) {
            return values_.push();
        }
        return std::get<ast::ComparisonRhs::Value>(comparison().constant.emplace().value);
    }

    template <Rule Id>
    void constant_matched(std::string_view text) {
        if constexpr (Id == Rule::string) {
            held<Value::String>(value().value) = escaped_ ? unescaped_text(text, nodes_)
                                                          : tree_text(readable_end_, text, nodes_);
        } else if constexpr (Id == Rule::bool_) {
            value().value.template emplace<Value::Bool>(text == "true");
        } else if constexpr (Id == Rule::hex) {
            value().value.template emplace<Value::Hex>(Value::Hex{tree_text(readable_end_, text, nodes_)});
        } else if constexpr (Id == Rule::bin) {
            value().value.template emplace<Value::Binary>(Value::Binary{tree_text(readable_end_, text, nodes_)});
        } else if constexpr (Id == Rule::int_) {
            converted_into<Value::Int>(parse_int64(text), value(), failure_);
        } else if constexpr (Id == Rule::float_) {
            converted_into<Value::Float>(parse_float64(text), value(), failure_);
        }
    }

    [[gnu::noinline]] void path_matched() {
        ast::ObjectPath& path = comparison().object_path;
        path.object_type = tree_text(readable_end_, object_, nodes_);
        if (steps_.size() > inline_path_steps) {
            path.property_path.spill_into(array_room<ast::PathComponent>(steps_.size(), nodes_));
        }
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            ast::PathComponent& step = path.property_path.emplace_back();
            step.property = tree_text(readable_end_, steps_[i].property, nodes_);
            if (!steps_[i].index.empty()) {
                (void)index_into(steps_[i].index, step, failure_);
            }
        }
    }

    [[gnu::noinline]] void list_matched() {
        in_list_ = false;
        auto values = array_room<Value>(values_.size(), nodes_);
        for (std::size_t i = 0; i < values_.size(); ++i) {
            values.emplace_back(std::move(values_[i]));
        }
        comparison().constant.emplace().value.emplace<ast::ComparisonRhs::List>(std::move(values));
    }

    // The qualifiers of the observation or group just matched, made by the first.
    QualifierSet& qualifiers() {
        std::optional<QualifierSet>& set = patterns_.back().qualifiers;
        return set ? *set : set.emplace();
    }

    const char* readable_end_;
    PatternExpr* root_;
    ast::NodeBlock& nodes_;
    Failure& failure_;
    std::size_t changes_ = 0;
    bool spoiled_ = false;
    bool in_list_ = false;
    bool escaped_ = false;
    Rule qualifier_ = Rule::EOI;
    ComparisonExpr* target_ = nullptr;  // of the comparison entered last
    FrameStack<MatchedPattern> patterns_;
    FrameStack<MatchedChain<ComparisonExpr>> chains_;
    std::string_view object_;
    Staging<StepSpans, 8> steps_;
    Staging<Value, 6> values_;
};

bool pair_into(const FlatTree& tree, std::uint32_t node, PatternExpr& out, Failure& failure, ast::NodeBlock& nodes) {
    return PatternBuilder(tree, failure, nodes).build(node, out);
}

bool expression_into(const FlatTree& tree, std::uint32_t node, PatternExpr& out, Failure& failure,
                     ast::NodeBlock& nodes) {
    return PatternBuilder(tree, failure, nodes).build_expression(node, out);
}

// The tree of `node`, a pattern, an expression, an observation or a group, shared.
Result<std::shared_ptr<const PatternExpr>> build_shared_pair(Node node) {
    ast::NodeBlock nodes = block_for(node);
    auto tree = std::make_shared<SharedTree>();
    if (Status status = build_with_block(node, &pair_into, tree->root(), nodes); !status) {
        // A build cut short may not have noted all it owns outside the block: what it made
        // goes node by node.
        return std::move(status).error();
    }
    tree->keep(nodes);
    const PatternExpr* const root = &tree->root();
    return std::shared_ptr<const PatternExpr>(std::move(tree), root);
}

// Builds from the one top-level node of a parse with `build`.
template <typename Built, typename Build>
Result<Built> built_from(Result<ParseTree>&& tree, Build build) {
    if (!tree) {
        return std::move(tree).error();
    }
    const Node::Children top = tree.value().top_level();
    if (top.empty()) {
        return missing("pattern");
    }
    return build(*top.begin());
}

// The scratch holds the parse-tree nodes of a pattern of up to about a kilobyte, as nearly all
// are: on the stack, a parse allocates no memory for them. (An allocation a parse costs little
// in a loop of parses alone, but a few per cent of `parse()` between the interpreter's own work.)
//
// Apart from its caller, so that the scratch takes stack only when it is used.
template <typename Built, typename Build>
[[gnu::noinline]] Result<Built> parsed_in_scratch(std::string_view text, Build build, const NestingBudget& budget) {
    ScratchNodes scratch;
    return built_from<Built>(StixParser::parse_for_building(text, scratch, &budget), build);
}

// Parses `text` and builds from it with `build`; the nodes lie in a scratch only where the
// stack has room for it beside the deepest nesting, so that the nesting bound stays as it is.
template <typename Built, typename Build>
Result<Built> parsed_pattern(std::string_view text, Build build) {
    if (const auto budget = full_budget_beside(sizeof(ScratchNodes), StixParser::max_nesting)) {
        return parsed_in_scratch<Built>(text, build, *budget);
    }
    return built_from<Built>(StixParser::parse_for_building(text), build);
}

namespace pegtl = tao::pegtl;

// The text of a build while matching, which names its builder to the grammar.
struct BuildInput : pegtl::memory_input<pegtl::tracking_mode::lazy, pegtl::eol::lf_crlf, const char*> {
    using Sink = TreeSink;
    using memory_input::memory_input;
};
constexpr peg::Context build_run{.build = true};

enum class BuildOutcome : std::uint8_t { built, rejected, not_built };

// Runs the grammar over `text`, building its syntax tree into `root` as it matches; a
// conversion that fails leaves its error in `failure`. Rejected: the grammar did not match
// the text, and `rejection` tells why. Not built: the text is too long for a parse, or the
// grammar took a turn the builder cannot follow; a build from a parse tree then tells.
BuildOutcome build_while_matching(std::string_view text, PatternExpr& root, ast::NodeBlock& nodes, Failure& failure,
                                  std::optional<ParseError>& rejection) {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        return BuildOutcome::not_built;
    }
    const NestingBudget budget = nesting_budget(StixParser::max_nesting);
    peg::State st(text.data(), 0, budget);
    TreeSink sink(text, root, nodes, failure);
    st.sink = &sink;
    BuildInput in(text.data(), text.data() + text.size(), "pattern");
    if (!peg::match<grammar::pattern, build_run>(in, st)) {
        rejection = StixParser::rejection(text, budget, st.too_deep_at, st.max_depth);
        return BuildOutcome::rejected;
    }
    return sink.spoiled() ? BuildOutcome::not_built : BuildOutcome::built;
}

// The block of a build while matching, which cannot count first what it will need. Its
// bounds: each operator or qualifier node takes at least three bytes of text, and each long
// text its bytes and at most as many again for its header and alignment. Its first chunk,
// made with the first node or long text, holds about what a realistic pattern needs: below
// 4 KiB of text 5 slots and up to 120 bytes of texts, within the most that malloc's thread
// cache serves. Larger trees take more chunks, growing with what they took, so that a tree
// Python keeps takes little more memory than it needs.
//
// A long text starts with room for a node per 16 bytes (a dense chain of observations)
// and for texts as long as itself (a chain of hashes is three quarters hash), so that most
// trees take one chunk of each kind. Further chunks cost more than the room: a tree
// spread over several chunks of malloc's heap, each below its threshold for mapping memory
// of its own, tipped it into trimming the heap after every parse (a 1 MB chain of hashes
// faulted 167 pages a parse, at 1.4 times the cost a byte), while room never written takes
// no memory of the system's. The first chunk stays on the heap (see NodeBlock::FirstChunk);
// a larger tree's later chunks are mapped on huge pages.
ast::NodeBlock block_for(std::string_view text) {
    constexpr std::size_t long_text = 4096;
    const std::size_t size = text.size();
    const auto first = size < long_text ? ast::NodeBlock::FirstChunk{5, std::min<std::size_t>(size / 2 + 32, 120)}
                                        : ast::NodeBlock::FirstChunk{size / 16, size};
    return ast::NodeBlock(size / 2 + 16, node_slot, 2 * size + 64, first);
}

}  // namespace

Result<PatternExpr> parse_pattern(std::string_view text) {
    Result<PatternExpr> result{std::in_place};
    Failure failure;
    std::optional<ParseError> rejection;
    BuildOutcome outcome;
    {
        ast::NodeBlock nodes = block_for(text);
        outcome = build_while_matching(text, result.value(), nodes, failure, rejection);
    }
    switch (outcome) {
        case BuildOutcome::built:
            if (failure.failed()) {
                return std::move(failure).error();
            }
            return result;
        case BuildOutcome::rejected:
            return std::move(*rejection);
        case BuildOutcome::not_built:
            break;
    }
    result = Result<PatternExpr>(std::in_place);  // gives up what was built
    return parsed_pattern<PatternExpr>(text, parse_pair);
}

Result<std::shared_ptr<const PatternExpr>> parse_shared_pattern(std::string_view text) {
    Failure failure;
    std::optional<ParseError> rejection;
    BuildOutcome outcome;
    {
        ast::NodeBlock nodes = block_for(text);
        auto tree = std::make_shared<SharedTree>();
        outcome = build_while_matching(text, tree->root(), nodes, failure, rejection);
        if (outcome == BuildOutcome::built && !failure.failed()) {
            tree->keep(nodes);
            const PatternExpr* const root = &tree->root();
            return std::shared_ptr<const PatternExpr>(std::move(tree), root);
        }
        // What was built goes node by node, with the tree, before the block: it may not have
        // noted all it owns outside the block.
    }
    switch (outcome) {
        case BuildOutcome::built:
            return std::move(failure).error();
        case BuildOutcome::rejected:
            return std::move(*rejection);
        case BuildOutcome::not_built:
            break;
    }
    return parsed_pattern<std::shared_ptr<const PatternExpr>>(text, build_shared_pair);
}

Result<PatternExpr> parse_pair(Node node) {
    return build_tree<PatternExpr>(node, pair_into);
}

Result<PatternExpr> parse_expression(Node node) {
    return build_tree<PatternExpr>(node, expression_into);
}

Status parse_qualifier(Node node, QualifierSet& set) {
    return build_into(node, qualifier_into, set);
}

Result<ComparisonExpr> parse_comparison(Node node) {
    return build_tree<ComparisonExpr>(node, comparison_into);
}

Result<ast::ObjectPath> parse_object_path(Node node) {
    return build_tree<ast::ObjectPath>(node, path_into);
}

Result<ast::StixValue> parse_value(Node node) {
    return build_tree<ast::StixValue>(node, value_into);
}

Result<ast::ComparisonRhs::List> parse_list(Node node) {
    return build_tree<ast::ComparisonRhs::List>(node, list_into);
}

}  // namespace quarnel::parser
