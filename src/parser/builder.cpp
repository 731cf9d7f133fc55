#include "parser/builder.hpp"

#include <algorithm>
#include <cassert>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "parser/conversions.hpp"
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
    [[gnu::cold, gnu::noinline]] bool set(ParseError&& error) {
        error_.emplace(std::move(error));
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

template <typename T>
Result<T> build_tree(Node node, TreeStep<T> build) {
    const ParseTree::BlockNeeds needs = block_needs(node);
    ast::NodeBlock nodes(needs.heap_nodes, node_slot, 0, needs.text_room);
    return built<T>([&](T& out) { return build_with_block(node, build, out, nodes); });
}

// A pattern's root kept with the block of its nodes and texts, and with it dropped: a tree
// that owns nothing outside the block is given back by freeing the block's chunks, without
// visiting its nodes (on a long chain, a walk over tens of megabytes that no cache holds).
// Nothing may move nodes out of it: it is only ever shared as a constant.
class SharedTree {
public:
    explicit SharedTree(const ParseTree::BlockNeeds& needs)
        : nodes_(needs.heap_nodes, node_slot, 0, needs.text_room) {
        std::construct_at(&root_);
    }
    SharedTree(const SharedTree&) = delete;
    SharedTree& operator=(const SharedTree&) = delete;
    ~SharedTree() {
        if (nodes_.owns_all()) {
            nodes_.abandon();
        } else {
            std::destroy_at(&root_);
        }
    }

    PatternExpr& root() { return root_; }
    ast::NodeBlock& nodes() { return nodes_; }

private:
    union {
        PatternExpr root_;
    };
    ast::NodeBlock nodes_;
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

// Converts each child of `node` whose rule `wanted` accepts, in order, and hands the value
// to `store`; the first conversion that fails ends the build.
template <typename Wanted, typename Convert, typename Store>
bool each_converted(const FlatTree& tree, std::uint32_t node, Wanted wanted, Convert convert, Store store,
                    Failure& failure) {
    for (std::uint32_t child = node + 1; child < tree.end_of(node); child = tree.end_of(child)) {
        if (!wanted(tree.rule(child))) {
            continue;
        }
        auto converted = convert(tree.text(child));
        if (!converted) {
            return failure.set(std::move(converted).error());
        }
        store(std::move(converted).value());
    }
    return true;
}

bool qualifier_into(const FlatTree& tree, std::uint32_t node, QualifierSet& set, Failure& failure) {
    const std::uint32_t kind = node + 1;
    if (kind == tree.end_of(node)) {
        return failure.missing("qualifier content");
    }
    // Each number of a qualifier replaces the one before it, so the last one written
    // counts; the first time of all intervals after one operand is its start, every later
    // one replaces the stop.
    switch (tree.rule(kind)) {
        case Rule::repeat:
            return each_converted(
                tree, kind, [](Rule rule) { return rule == Rule::pos_int; }, parse_uint32,
                [&](std::uint32_t count) { set.repeat = count; }, failure);
        case Rule::within:
            return each_converted(
                tree, kind, [](Rule rule) { return rule == Rule::pos_int || rule == Rule::pos_float; },
                parse_float64, [&](double seconds) { set.within = seconds; }, failure);
        case Rule::interval:
            return each_converted(
                tree, kind, [](Rule rule) { return rule == Rule::time; }, parse_timestamp,
                [&](const ast::Timestamp& instant) { (set.start ? set.stop : set.start) = instant; }, failure);
        default:
            return true;
    }
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

// `text`, a part of the input, as a text of the tree: inside its node when short, else in
// the parse's block.
ast::Text tree_text(const FlatTree& tree, std::string_view text, ast::NodeBlock& nodes) {
    if (text.size() <= ast::Text::inline_capacity) {
        return ast::Text::short_within(text, tree.readable_end());
    }
    return text_in_block(
        text.size(), [text](char* out) { return static_cast<std::size_t>(std::copy(text.begin(), text.end(), out) - out); },
        nodes);
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

bool pair_into(const FlatTree& tree, std::uint32_t node, PatternExpr& out, Failure& failure, ast::NodeBlock& nodes) {
    return PatternBuilder(tree, failure, nodes).build(node, out);
}

bool expression_into(const FlatTree& tree, std::uint32_t node, PatternExpr& out, Failure& failure,
                     ast::NodeBlock& nodes) {
    return PatternBuilder(tree, failure, nodes).build_expression(node, out);
}

// The tree of `node`, a pattern, an expression, an observation or a group, shared.
Result<std::shared_ptr<const PatternExpr>> build_shared_pair(Node node) {
    auto tree = std::make_shared<SharedTree>(block_needs(node));
    if (Status status = build_with_block(node, &pair_into, tree->root(), tree->nodes()); !status) {
        // A build cut short may not have noted all it owns outside the block: what it made
        // goes node by node.
        tree->nodes().note_outside();
        return std::move(status).error();
    }
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

}  // namespace

Result<PatternExpr> parse_pattern(std::string_view text) {
    return parsed_pattern<PatternExpr>(text, parse_pair);
}

Result<std::shared_ptr<const PatternExpr>> parse_shared_pattern(std::string_view text) {
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
