#include "parser/builder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parser/conversions.hpp"
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

ParseError unexpected(Rule rule) {
    return ParseError(ParseError::UnexpectedRule{rule});
}

// Holds the error that ended a build; every step returns false once it is set.
class Failure {
public:
    bool set(ParseError error) {
        error_.emplace(std::move(error));
        return false;
    }

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

template <typename T, typename Build>
Result<T> build_whole(Node node, Build build) {
    Failure failure;
    T out{};
    if (!build(node, out, failure)) {
        return std::move(failure).error();
    }
    return out;
}

// The operator and qualifier nodes a build from `node` can make at most: each operator
// moves its two operands into nodes of their own, each qualified operand goes into one.
std::size_t heap_nodes_needed(Node node) {
    static constexpr std::array<std::uint8_t, rule_count> nodes_made = [] {
        std::array<std::uint8_t, rule_count> made{};
        made[static_cast<std::size_t>(Rule::and_)] = 2;
        made[static_cast<std::size_t>(Rule::or_)] = 2;
        made[static_cast<std::size_t>(Rule::followedby)] = 2;
        made[static_cast<std::size_t>(Rule::qualifier)] = 1;
        return made;
    }();
    std::size_t count = 0;
    for (const FlatNode& flat : node.subtree()) {
        count += nodes_made[static_cast<std::size_t>(flat.rule)];
    }
    return count;
}

// Builds a tree whose operator and qualifier nodes all come from one block.
template <typename T, typename Build>
Result<T> build_tree(Node node, Build build) {
    ast::NodeBlock nodes(heap_nodes_needed(node), std::max(sizeof(PatternExpr), sizeof(ComparisonExpr)));
    return build_whole<T>(node, [&](Node from, T& out, Failure& failure) { return build(from, out, failure, nodes); });
}

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

std::optional<ComparisonOp> comparison_op(Rule rule) {
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

// --- folding and qualifying ---

// The right operand is built straight into its heap node; the left one moves into its own.
void fold(ComparisonExpr& accumulated, BooleanOp op, std::unique_ptr<ComparisonExpr> right, ast::NodeBlock& nodes) {
    auto left = nodes.make<ComparisonExpr>(std::move(accumulated));
    accumulated.value.emplace<ComparisonExpr::Composite>(
        ast::CompositeComparison::new_(std::move(left), op, std::move(right)));
}

void fold(PatternExpr& accumulated, ObservationOp op, std::unique_ptr<PatternExpr> right, ast::NodeBlock& nodes) {
    auto left = nodes.make<PatternExpr>(std::move(accumulated));
    accumulated.value.emplace<PatternExpr::Composite>(
        ast::CompositePattern::new_(std::move(left), op, std::move(right)));
}

// An observation or group stays as it is when no qualifier follows it.
void apply_qualifiers(PatternExpr& target, const QualifierSet& set, ast::NodeBlock& nodes) {
    if (set.empty()) {
        return;
    }
    target = PatternExpr{ast::QualifiedPattern(nodes.make<PatternExpr>(std::move(target)), set.repeat,
                                               set.within, set.start, set.stop)};
}

bool read_qualifier(Node node, QualifierSet& set, Failure& failure) {
    Status status = parse_qualifier(node, set);
    return status ? true : failure.set(std::move(status).error());
}

// --- leaves, built in place ---

bool step_into(Node node, ast::PathComponent& component, Failure& failure) {
    for (const Node child : node.children()) {
        if (child.rule() == Rule::property) {
            std::string_view name = child.text();
            if (name.size() > 1 && name.front() == '\'' && name.back() == '\'') {
                name = name.substr(1, name.size() - 2);
            }
            component.property.assign(name);
        } else if (child.rule() == Rule::index) {
            if (child.text() == "*") {
                component.index = ast::PathIndex{ast::PathIndex::Star{}};
                continue;
            }
            ast::PathIndex::Number number = 0;
            if (!failure.take(parse_uint32(child.text()), number)) {
                return false;
            }
            component.index = ast::PathIndex{number};
        }
    }
    return true;
}

bool path_into(Node node, ast::ObjectPath& path, Failure& failure) {
    for (const Node child : node.children()) {
        if (child.rule() == Rule::object) {
            path.object_type.assign(child.text());
        } else if (child.rule() == Rule::step) {
            if (!step_into(child, path.property_path.emplace_back(), failure)) return false;
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

bool value_into(Node node, ast::StixValue& out, Failure& failure) {
    const Node::Children children = node.children();
    if (children.empty()) {
        return failure.set(missing("value content"));
    }
    const Node child = *children.begin();
    const std::string_view text = child.text();
    using Value = ast::StixValue;
    switch (child.rule()) {
        case Rule::bool_:
            out.value.emplace<Value::Bool>(text == "true");
            return true;
        case Rule::hex:
            out.value.emplace<Value::Hex>(Value::Hex{std::string(text)});
            return true;
        case Rule::bin:
            out.value.emplace<Value::Binary>(Value::Binary{std::string(text)});
            return true;
        case Rule::int_:
            return converted_into<Value::Int>(parse_int64(text), out, failure);
        case Rule::float_:
            return converted_into<Value::Float>(parse_float64(text), out, failure);
        case Rule::string:
            out.value.emplace<Value::String>(unescape_string(text));
            return true;
        case Rule::time:
            return converted_into<ast::Timestamp>(parse_timestamp(text), out, failure);
        default:
            return failure.set(unexpected(child.rule()));
    }
}

bool list_into(Node node, std::vector<ast::StixValue>& values, Failure& failure) {
    for (const Node child : node.children()) {
        if (child.rule() == Rule::value && !value_into(child, values.emplace_back(), failure)) {
            return false;
        }
    }
    return true;
}

// --- comparisons ---

bool exists_into(Node::Children children, ComparisonExpr& out, Failure& failure) {
    auto next = children.begin();
    if (++next == children.end()) {
        return failure.set(missing("path"));
    }
    ast::Comparison& comparison = out.value.emplace<ast::Comparison>();
    comparison.op = ast::UnaryOp::EXISTS;
    return path_into(*next, comparison.object_path, failure);
}

bool plain_into(Node::Children children, ComparisonExpr& out, Failure& failure) {
    ast::Comparison& comparison = out.value.emplace<ast::Comparison>();
    if (!path_into(*children.begin(), comparison.object_path, failure)) {
        return false;
    }
    std::optional<ComparisonOp> op;
    auto it = children.begin();
    while (++it != children.end()) {
        const Node child = *it;
        if (const auto found = comparison_op(child.rule())) {
            op = found;
        } else if (child.rule() == Rule::not_) {
            comparison.negated = true;
        } else if (child.rule() == Rule::value) {
            auto& value = comparison.constant.emplace().value.emplace<ast::ComparisonRhs::Value>();
            if (!value_into(child, value, failure)) return false;
        } else if (child.rule() == Rule::list) {
            auto& list = comparison.constant.emplace().value.emplace<ast::ComparisonRhs::List>();
            if (!list_into(child, list, failure)) return false;
        }
    }
    if (!op) {
        return failure.set(missing("operator"));
    }
    comparison.op = *op;
    return true;
}

// A stack of frames whose first few lie inside the stack object itself: most patterns
// nest no deeper, and then building one allocates no frame memory at all. Deeper nesting
// continues on the heap.
template <typename Frame>
class FrameStack {
public:
    FrameStack() { frames_.reserve(inline_frames); }
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;

    bool empty() const { return frames_.empty(); }
    Frame& back() { return frames_.back(); }
    void pop_back() { frames_.pop_back(); }
    void clear() { frames_.clear(); }
    template <typename... Args>
    void emplace_back(Args&&... args) {
        frames_.emplace_back(std::forward<Args>(args)...);
    }

private:
    static constexpr std::size_t inline_frames = 4;
    alignas(Frame) std::array<std::byte, inline_frames * sizeof(Frame)> buffer_;
    std::pmr::monotonic_buffer_resource memory_{buffer_.data(), buffer_.size()};
    std::pmr::vector<Frame> frames_{&memory_};
};

// One flat AND/OR list being folded strictly from the left into `out`: the children of
// an observation, or of a parenthesised comparison. The pending operator falls back to
// AND after each operand.
struct ChainFrame {
    Node::Children::iterator next;
    Node::Children::iterator end;
    ComparisonExpr* out;
    QualifierSet* qualifiers;  // the observation's; null inside parentheses, where none occur
    bool have_operand = false;
    BooleanOp pending = BooleanOp::AND;
    std::unique_ptr<ComparisonExpr> operand;  // a later operand while it is built

    ChainFrame(Node::Children children, ComparisonExpr& target, QualifierSet* set)
        : next(children.begin()), end(children.end()), out(&target), qualifiers(set) {}

    // Where the next operand goes: the first one straight into `out`.
    ComparisonExpr& operand_target(ast::NodeBlock& nodes) {
        if (!have_operand) {
            return *out;
        }
        operand = nodes.make<ComparisonExpr>();
        return *operand;
    }

    void operand_built(ast::NodeBlock& nodes) {
        if (operand) {
            fold(*out, pending, std::move(operand), nodes);
        }
        have_operand = true;
        pending = BooleanOp::AND;
    }
};

class ComparisonBuilder {
public:
    ComparisonBuilder(Failure& failure, ast::NodeBlock& nodes) : failure_(failure), nodes_(nodes) {}

    bool chain(Node::Children children, ComparisonExpr& out, QualifierSet* qualifiers) {
        frames_.clear();
        frames_.emplace_back(children, out, qualifiers);
        while (!frames_.empty()) {
            if (!step()) return false;
        }
        return true;
    }

    bool comparison(Node node, ComparisonExpr& out) {
        const bool done = start(node, out);
        while (!frames_.empty()) {
            if (!step()) return false;
        }
        return done;
    }

private:
    bool step() {
        ChainFrame& frame = frames_.back();
        if (frame.next == frame.end) {
            if (!frame.have_operand) {
                return failure_.set(missing("comparison"));
            }
            frames_.pop_back();
            if (!frames_.empty()) frames_.back().operand_built(nodes_);
            return true;
        }
        const Node child = *frame.next;
        ++frame.next;
        switch (child.rule()) {
            case Rule::and_:
                frame.pending = BooleanOp::AND;
                return true;
            case Rule::or_:
                frame.pending = BooleanOp::OR;
                return true;
            case Rule::comparison:
                child.release_walked();
                return start(child, frame.operand_target(nodes_));
            case Rule::qualifier:
                return frame.qualifiers == nullptr || read_qualifier(child, *frame.qualifiers, failure_);
            default:
                return true;
        }
    }

    // Builds a comparison into `out`; a parenthesised one gets a frame of its own, and the
    // operand counts as built when that frame ends.
    bool start(Node node, ComparisonExpr& out) {
        const Node::Children children = node.children();
        if (children.empty()) {
            return failure_.set(missing("comparison content"));
        }
        bool built = false;
        switch ((*children.begin()).rule()) {
            case Rule::exists:
                built = exists_into(children, out, failure_);
                break;
            case Rule::path:
                built = plain_into(children, out, failure_);
                break;
            case Rule::comparison:
                frames_.emplace_back(children, out, nullptr);
                return true;
            default:
                return failure_.set(missing("comparison content"));
        }
        if (built && !frames_.empty()) {
            frames_.back().operand_built(nodes_);
        }
        return built;
    }

    Failure& failure_;
    ast::NodeBlock& nodes_;
    FrameStack<ChainFrame> frames_;
};

bool comparison_into(Node node, ComparisonExpr& out, Failure& failure, ast::NodeBlock& nodes) {
    return ComparisonBuilder(failure, nodes).comparison(node, out);
}

// --- observation expressions ---

bool observation_into(Node node, PatternExpr& out, ComparisonBuilder& comparisons, ast::NodeBlock& nodes) {
    QualifierSet qualifiers;
    auto& inside = out.value.emplace<PatternExpr::Observation>();
    if (!comparisons.chain(node.children(), inside, &qualifiers)) {
        return false;
    }
    apply_qualifiers(out, qualifiers, nodes);
    return true;
}

// An `expression` folding operand (operator operand)* strictly from the left, all
// operators of one standing; or a parenthesised group, whose qualifiers apply once its
// expression is built (without qualifiers it leaves no trace in the tree).
struct PatternFrame {
    Rule kind;  // Rule::expression or Rule::observation_group
    Node::Children::iterator next;
    Node::Children::iterator end;
    PatternExpr* out;
    bool have_operand = false;  // for a group: its expression
    ObservationOp pending = ObservationOp::AND;
    std::unique_ptr<PatternExpr> operand;  // a later operand while it is built
    QualifierSet qualifiers;

    PatternFrame(Rule rule, Node::Children children, PatternExpr& target)
        : kind(rule), next(children.begin()), end(children.end()), out(&target) {}

    void operand_built(ast::NodeBlock& nodes) {
        if (operand) {
            fold(*out, pending, std::move(operand), nodes);
        }
        have_operand = true;
    }
};

class PatternBuilder {
public:
    PatternBuilder(Failure& failure, ast::NodeBlock& nodes)
        : failure_(failure), nodes_(nodes), comparisons_(failure, nodes) {}

    // `node` is a pattern, an expression, an observation or a group.
    bool build(Node node, PatternExpr& out) { return start(node, out) && run(); }

    // The children of `node`, whatever its rule, as an expression.
    bool build_expression(Node node, PatternExpr& out) { return open_expression(node, out) && run(); }

private:
    bool run() {
        while (!frames_.empty()) {
            PatternFrame& frame = frames_.back();
            const bool stepped = frame.kind == Rule::expression ? expression_step(frame) : group_step(frame);
            if (!stepped) return false;
        }
        return true;
    }

    bool open_expression(Node node, PatternExpr& out) {
        if (node.children().empty()) {
            return failure_.set(missing("expression"));
        }
        frames_.emplace_back(Rule::expression, node.children(), out);
        return true;
    }

    bool start(Node node, PatternExpr& out) {
        switch (node.rule()) {
            case Rule::pattern:
                for (const Node child : node.children()) {
                    if (child.rule() == Rule::expression) {
                        return start(child, out);
                    }
                }
                return failure_.set(missing("expression"));
            case Rule::expression:
                return open_expression(node, out);
            case Rule::observation_group:
                frames_.emplace_back(Rule::observation_group, node.children(), out);
                return true;
            case Rule::observation:
                if (!observation_into(node, out, comparisons_, nodes_)) {
                    return false;
                }
                operand_built();
                return true;
            default:
                return failure_.set(unexpected(node.rule()));
        }
    }

    bool expression_step(PatternFrame& frame) {
        if (frame.next == frame.end) {
            return finish();
        }
        if (!frame.have_operand) {
            const Node first = *frame.next;
            ++frame.next;
            return start(first, *frame.out);
        }
        const Node op_node = *frame.next;
        const auto op = observation_op(op_node.rule());
        if (!op) {
            return failure_.set(unexpected(op_node.rule()));
        }
        if (++frame.next == frame.end) {
            return failure_.set(missing("right operand"));
        }
        const Node right = *frame.next;
        ++frame.next;
        right.release_walked();
        frame.pending = *op;
        frame.operand = nodes_.make<PatternExpr>();
        return start(right, *frame.operand);
    }

    bool group_step(PatternFrame& frame) {
        if (frame.next == frame.end) {
            if (!frame.have_operand) {
                return failure_.set(missing("expression"));
            }
            apply_qualifiers(*frame.out, frame.qualifiers, nodes_);
            return finish();
        }
        const Node child = *frame.next;
        ++frame.next;
        if (child.rule() == Rule::expression) {
            return start(child, *frame.out);
        }
        return child.rule() != Rule::qualifier || read_qualifier(child, frame.qualifiers, failure_);
    }

    bool finish() {
        frames_.pop_back();
        operand_built();
        return true;
    }

    // The node being built is done: the innermost open frame takes it as its operand.
    void operand_built() {
        if (!frames_.empty()) {
            frames_.back().operand_built(nodes_);
        }
    }

    Failure& failure_;
    ast::NodeBlock& nodes_;
    ComparisonBuilder comparisons_;  // kept, so that its frames are allocated once
    FrameStack<PatternFrame> frames_;
};

bool pair_into(Node node, PatternExpr& out, Failure& failure, ast::NodeBlock& nodes) {
    return PatternBuilder(failure, nodes).build(node, out);
}

bool expression_into(Node node, PatternExpr& out, Failure& failure, ast::NodeBlock& nodes) {
    return PatternBuilder(failure, nodes).build_expression(node, out);
}

// --- leaves ---

// Each number of a qualifier replaces the one before it, so the last one written counts.
Status read_repeat(Node node, QualifierSet& set) {
    for (const Node child : node.children()) {
        if (child.rule() != Rule::pos_int) {
            continue;
        }
        const auto count = parse_uint32(child.text());
        if (!count) {
            return count.error();
        }
        set.repeat = count.value();
    }
    return Done{};
}

Status read_within(Node node, QualifierSet& set) {
    for (const Node child : node.children()) {
        if (child.rule() != Rule::pos_int && child.rule() != Rule::pos_float) {
            continue;
        }
        const auto seconds = parse_float64(child.text());
        if (!seconds) {
            return seconds.error();
        }
        set.within = seconds.value();
    }
    return Done{};
}

// The first time of all intervals after one operand is its start; every later one
// replaces the stop.
Status read_interval(Node node, QualifierSet& set) {
    for (const Node child : node.children()) {
        if (child.rule() != Rule::time) {
            continue;
        }
        const auto instant = parse_timestamp(child.text());
        if (!instant) {
            return instant.error();
        }
        if (set.start) {
            set.stop = instant.value();
        } else {
            set.start = instant.value();
        }
    }
    return Done{};
}

}  // namespace

Result<PatternExpr> parse_pattern(std::string_view text) {
    auto tree = StixParser::parse(Rule::pattern, text);
    if (!tree) {
        return std::move(tree).error();
    }
    const Node::Children top = tree.value().top_level();
    if (top.empty()) {
        return missing("pattern");
    }
    return parse_pair(*top.begin());
}

Result<PatternExpr> parse_pair(Node node) {
    return build_tree<PatternExpr>(node, pair_into);
}

Result<PatternExpr> parse_expression(Node node) {
    return build_tree<PatternExpr>(node, expression_into);
}

Status parse_qualifier(Node node, QualifierSet& set) {
    const Node::Children children = node.children();
    if (children.empty()) {
        return missing("qualifier content");
    }
    const Node kind = *children.begin();
    switch (kind.rule()) {
        case Rule::repeat:
            return read_repeat(kind, set);
        case Rule::within:
            return read_within(kind, set);
        case Rule::interval:
            return read_interval(kind, set);
        default:
            return Done{};
    }
}

Result<ComparisonExpr> parse_comparison(Node node) {
    return build_tree<ComparisonExpr>(node, comparison_into);
}

Result<ast::ObjectPath> parse_object_path(Node node) {
    return build_whole<ast::ObjectPath>(node, path_into);
}

Result<ast::StixValue> parse_value(Node node) {
    return build_whole<ast::StixValue>(node, value_into);
}

Result<std::vector<ast::StixValue>> parse_list(Node node) {
    return build_whole<std::vector<ast::StixValue>>(node, list_into);
}

}  // namespace quarnel::parser
