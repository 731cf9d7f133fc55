#define PCRE2_CODE_UNIT_WIDTH 8
#include "match/compiler.hpp"

#include <pcre2.h>

#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <variant>

namespace quarnel::match {

namespace {

using ast::StixValue;

std::string_view op_text(Op op) {
    switch (op) {
        case Op::Exists: return "EXISTS";
        case Op::Eq: return "=";
        case Op::Neq: return "!=";
        case Op::Gt: return ">";
        case Op::Lt: return "<";
        case Op::Ge: return ">=";
        case Op::Le: return "<=";
        case Op::In: return "IN";
        case Op::Like: return "LIKE";
        case Op::Matches: return "MATCHES";
        case Op::IsSubset: return "ISSUBSET";
        case Op::IsSuperset: return "ISSUPERSET";
    }
    return "?";
}

Op to_op(const ast::ComparisonOperator& op) {
    if (std::holds_alternative<ast::UnaryOp>(op)) return Op::Exists;
    switch (std::get<ast::ComparisonOp>(op)) {
        case ast::ComparisonOp::EQ: return Op::Eq;
        case ast::ComparisonOp::NEQ: return Op::Neq;
        case ast::ComparisonOp::GT: return Op::Gt;
        case ast::ComparisonOp::LT: return Op::Lt;
        case ast::ComparisonOp::GE: return Op::Ge;
        case ast::ComparisonOp::LE: return Op::Le;
        case ast::ComparisonOp::IN: return Op::In;
        case ast::ComparisonOp::LIKE: return Op::Like;
        case ast::ComparisonOp::MATCHES: return Op::Matches;
        case ast::ComparisonOp::ISSUBSET: return Op::IsSubset;
        case ast::ComparisonOp::ISSUPERSET: return Op::IsSuperset;
    }
    return Op::Eq;
}

// Constant kinds in the order of StixValue's alternatives.
constexpr std::string_view kind_names[] = {"string", "integer", "float", "boolean",
                                           "timestamp", "hex", "binary"};
constexpr Family kind_families[] = {Family::Text, Family::Number, Family::Number, Family::Boolean,
                                    Family::Time, Family::Bytes, Family::Bytes};

PatternError pattern_error(PatternErrorKind kind, std::string message) { return {kind, std::move(message)}; }

bool allowed(Op op, std::size_t kind) {
    switch (op) {
        case Op::Eq:
        case Op::Neq:
        case Op::In: return true;
        case Op::Gt:
        case Op::Lt:
        case Op::Ge:
        case Op::Le: return kind != 3;
        default: return kind == 0;
    }
}

std::string float_text(double value) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

struct CodeDeleter {
    void operator()(const pcre2_real_code_8* code) const { pcre2_code_free_8(const_cast<pcre2_real_code_8*>(code)); }
};

std::shared_ptr<const pcre2_real_code_8> compile_regex(std::string_view pattern, std::uint32_t options,
                                                       int& error, PCRE2_SIZE& offset) {
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                                     &error, &offset, nullptr);
    if (code == nullptr) return nullptr;
    return std::shared_ptr<const pcre2_real_code_8>(code, CodeDeleter{});
}

LikeProgram like_program(std::string_view nfc) {
    LikeProgram program;
    program.latin1 = true;
    for (const std::uint32_t cp : code_points(nfc)) {
        if (cp == '%') {
            if (program.tokens.empty() || program.tokens.back() != LikeProgram::any_run) {
                program.tokens.push_back(LikeProgram::any_run);
            }
        } else if (cp == '_') {
            program.tokens.push_back(LikeProgram::any_one);
        } else {
            program.tokens.push_back(cp);
            if (cp >= 256) program.latin1 = false;
        }
    }
    return program;
}

void append_key(std::string& key, std::string_view text) {
    key += std::to_string(text.size());
    key += ':';
    key += text;
}

// A text that is equal for two comparisons exactly when they are the same comparison.
void comparison_key(std::string& key, const ast::Comparison& c) {
    append_key(key, c.object_path.object_type);
    for (const ast::PathComponent& step : c.object_path.property_path) {
        append_key(key, step.property);
        if (step.index) {
            if (const auto* n = std::get_if<ast::PathIndex::Number>(&step.index->value)) {
                key += '#' + std::to_string(*n);
            } else {
                key += '*';
            }
        }
        key += ';';
    }
    key += std::to_string(static_cast<int>(to_op(c.op))) + (c.negated ? "!" : "=");
    if (!c.constant) return;
    const auto append_value = [&](const StixValue& value) {
        key += std::to_string(value.value.index());
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, StixValue::String>) {
                    append_key(key, v);
                } else if constexpr (std::is_same_v<T, StixValue::Hex> || std::is_same_v<T, StixValue::Binary>) {
                    append_key(key, v.text);
                } else if constexpr (std::is_same_v<T, ast::Timestamp>) {
                    append_key(key, to_decimal(to_instant(v)));
                } else if constexpr (std::is_same_v<T, double>) {
                    append_key(key, float_text(v));
                } else {
                    append_key(key, std::to_string(v));
                }
            },
            value.value);
    };
    if (const auto* list = std::get_if<ast::ComparisonRhs::List>(&c.constant->value)) {
        key += '(';
        for (const StixValue& v : *list) append_value(v);
        key += ')';
    } else {
        append_value(std::get<StixValue>(c.constant->value));
    }
}

class Compiler {
public:
    explicit Compiler(const CompileOptions& options) : options_(options) {}

    Expected<CompiledPattern, PatternError> run(const ast::PatternExpr& root) {
        if (auto error = walk(root)) return std::move(*error);
        assign_windows();
        return std::move(out_);
    }

private:
    std::optional<PatternError> too_deep() const {
        return pattern_error(PatternErrorKind::TooDeep,
                             "Pattern nesting exceeds " + std::to_string(options_.max_pattern_depth) + " levels");
    }

    static bool is_group(const ast::PatternExpr& e) {
        return !std::holds_alternative<ast::PatternExpr::Observation>(e.value);
    }

    // Post-order over the tree with an explicit stack: chains may be very long.
    std::optional<PatternError> walk(const ast::PatternExpr& root) {
        struct Frame {
            const ast::PatternExpr* node;
            std::uint32_t depth;
            int stage;
        };
        std::vector<Frame> stack{{&root, 0, 0}};
        std::vector<std::uint32_t> results;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.depth > options_.max_pattern_depth) return too_deep();
            const ast::PatternExpr& node = *frame.node;
            if (const auto* observation = std::get_if<ast::PatternExpr::Observation>(&node.value)) {
                const std::uint32_t depth = frame.depth + 1;
                stack.pop_back();
                auto leaf = compile_leaf(*observation, depth);
                if (!leaf) return std::move(leaf).error();
                results.push_back(leaf.value());
            } else if (const auto* composite = std::get_if<ast::PatternExpr::Composite>(&node.value)) {
                if (frame.stage == 0) {
                    frame.stage = 1;
                    stack.push_back({composite->left.get(), frame.depth, 0});
                } else if (frame.stage == 1) {
                    frame.stage = 2;
                    const std::uint32_t depth = frame.depth + (is_group(*composite->right) &&
                                                               !std::holds_alternative<ast::PatternExpr::Qualified>(
                                                                   composite->right->value));
                    stack.push_back({composite->right.get(), depth, 0});
                } else {
                    stack.pop_back();
                    PatternNode n;
                    n.kind = composite->op == ast::ObservationOp::AND  ? PatternNode::Kind::And
                             : composite->op == ast::ObservationOp::OR ? PatternNode::Kind::Or
                                                                       : PatternNode::Kind::FollowedBy;
                    n.right = results.back();
                    results.pop_back();
                    n.left = results.back();
                    results.back() = add(n);
                }
            } else {
                const auto& qualified = std::get<ast::PatternExpr::Qualified>(node.value);
                if (frame.stage == 0) {
                    frame.stage = 1;
                    stack.push_back({qualified.pattern.get(), frame.depth + is_group(*qualified.pattern), 0});
                } else {
                    stack.pop_back();
                    auto n = qualifier(qualified);
                    if (!n) return std::move(n).error();
                    n.value().left = results.back();
                    results.back() = add(n.value());
                }
            }
        }
        return std::nullopt;
    }

    std::uint32_t add(const PatternNode& node) {
        out_.nodes.push_back(node);
        return static_cast<std::uint32_t>(out_.nodes.size() - 1);
    }

    Expected<PatternNode, PatternError> qualifier(const ast::QualifiedPattern& q) {
        PatternNode n;
        n.kind = PatternNode::Kind::Qualified;
        if (q.repeat) {
            if (*q.repeat == 0) {
                return pattern_error(PatternErrorKind::RepeatCount, "REPEATS count must be at least 1");
            }
            n.repeat = *q.repeat;
        }
        if (q.within) {
            const double s = *q.within;
            if (!(s > 0)) {
                return pattern_error(PatternErrorKind::WithinRange,
                                     "WITHIN duration must be greater than 0 seconds: " + float_text(s));
            }
            n.has_within = true;
            const auto limit = within_limit(s);
            n.within_always = !limit;
            n.limit_ns = limit.value_or(0);
        }
        if (q.start.has_value() != q.stop.has_value()) {
            return pattern_error(PatternErrorKind::IncompleteInterval, "START and STOP must be given together");
        }
        if (q.start) {
            n.has_window = true;
            n.start = to_instant(*q.start);
            n.stop = to_instant(*q.stop);
            if (n.start >= n.stop) {
                out_.warnings.push_back("START is not before STOP: the qualified expression can never match");
            }
        }
        return n;
    }

    // One observation: its comparisons, in postfix order, and its shared expression.
    Expected<std::uint32_t, PatternError> compile_leaf(const ast::ComparisonExpr& root, std::uint32_t depth) {
        struct Frame {
            const ast::ComparisonExpr* node;
            std::uint32_t depth;
            int stage;
        };
        // Each finished operand leaves the object types its comparisons name.
        std::vector<std::set<std::string>> types;
        std::vector<Frame> stack{{&root, depth, 0}};
        Expression expression;
        std::string key;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.depth > options_.max_pattern_depth) return *too_deep();
            if (const auto* c = std::get_if<ast::Comparison>(&frame.node->value)) {
                stack.pop_back();
                auto compiled = compile_comparison(*c);
                if (!compiled) return std::move(compiled).error();
                comparison_key(key, *c);
                expression.program.push_back(
                    {Instruction::Code::Compare, static_cast<std::uint32_t>(out_.comparisons.size())});
                types.push_back({c->object_path.object_type.str()});
                out_.comparisons.push_back(std::move(compiled).value());
                continue;
            }
            const auto& composite = std::get<ast::CompositeComparison>(frame.node->value);
            if (frame.stage == 0) {
                frame.stage = 1;
                stack.push_back({composite.left.get(), frame.depth, 0});
            } else if (frame.stage == 1) {
                frame.stage = 2;
                const bool group = std::holds_alternative<ast::CompositeComparison>(composite.right->value);
                stack.push_back({composite.right.get(), frame.depth + group, 0});
            } else {
                const bool and_ = composite.op == ast::BooleanOp::AND;
                stack.pop_back();
                key += and_ ? '&' : '|';
                expression.program.push_back({and_ ? Instruction::Code::And : Instruction::Code::Or, 0});
                std::set<std::string> right = std::move(types.back());
                types.pop_back();
                std::set<std::string>& left = types.back();
                if (and_ && left.size() == 1 && right.size() == 1 && left != right) {
                    out_.warnings.push_back("AND joins comparisons on different object types (" + *left.begin() +
                                            ", " + *right.begin() + "): the observation can never match");
                }
                left.insert(right.begin(), right.end());
            }
        }
        expression.types.assign(types.back().begin(), types.back().end());
        const auto [at, inserted] =
            expression_ids_.emplace(std::move(key), static_cast<std::uint32_t>(out_.expressions.size()));
        if (inserted) out_.expressions.push_back(std::move(expression));
        Leaf leaf;
        leaf.expression = at->second;
        out_.leaves.push_back(leaf);
        PatternNode n;
        n.kind = PatternNode::Kind::Leaf;
        n.leaf = static_cast<std::uint32_t>(out_.leaves.size() - 1);
        return add(n);
    }

    Expected<Constant, PatternError> constant(const StixValue& value) {
        Constant c;
        c.family = kind_families[value.value.index()];
        switch (value.value.index()) {
            case 0:
                c.text = std::get<StixValue::String>(value.value).str();
                c.latin1 = latin1_bytes(c.text);
                break;
            case 1:
                c.is_integer = true;
                c.integer = std::get<std::int64_t>(value.value);
                break;
            case 2: c.real = std::get<double>(value.value); break;
            case 3: c.boolean = std::get<bool>(value.value); break;
            case 4: c.instant = to_instant(std::get<ast::Timestamp>(value.value)); break;
            case 5: {
                const std::string_view digits = std::get<StixValue::Hex>(value.value).text;
                if (!decode_hex_text(digits, c.text)) {
                    return pattern_error(PatternErrorKind::InvalidHex, "Invalid hex constant: " + std::string(digits));
                }
                break;
            }
            default: {
                const std::string_view digits = std::get<StixValue::Binary>(value.value).text;
                if (!decode_base64_text(digits, c.text)) {
                    return pattern_error(PatternErrorKind::InvalidBase64, "Invalid base64 constant: " + std::string(digits));
                }
                break;
            }
        }
        return c;
    }

    Expected<CompiledComparison, PatternError> compile_comparison(const ast::Comparison& source) {
        CompiledComparison c;
        c.object_type = source.object_path.object_type;
        c.op = to_op(source.op);
        c.negated = source.negated;
        const auto& steps = source.object_path.property_path;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            PathStep step;
            step.property = steps[i].property;
            if (steps[i].index) {
                if (const auto* n = std::get_if<ast::PathIndex::Number>(&steps[i].index->value)) {
                    step.index = PathStep::Index::Number;
                    step.number = *n;
                } else {
                    step.index = PathStep::Index::Star;
                }
            }
            const std::string_view p = step.property;
            const bool reference = (p.size() >= 4 && p.substr(p.size() - 4) == "_ref") ||
                                   (p.size() >= 5 && p.substr(p.size() - 5) == "_refs");
            step.dereference = reference && i + 1 < steps.size();
            c.path.push_back(std::move(step));
        }
        if (c.op == Op::Exists || !source.constant) return c;
        const std::string op(op_text(c.op));
        const auto* list = std::get_if<ast::ComparisonRhs::List>(&source.constant->value);
        if (c.op == Op::In && list == nullptr) {
            return pattern_error(PatternErrorKind::ListRequired, "IN needs a parenthesised list of constants");
        }
        if (c.op != Op::In && list != nullptr) {
            return pattern_error(PatternErrorKind::ListNotAllowed, op + " cannot take a list of constants");
        }
        std::vector<StixValue> values;
        if (list != nullptr) {
            values.assign(list->begin(), list->end());
        } else {
            values.push_back(std::get<StixValue>(source.constant->value));
        }
        for (const StixValue& v : values) {
            if (!allowed(c.op, v.value.index())) {
                return pattern_error(PatternErrorKind::OperandKind,
                                     op + " cannot take a " + std::string(kind_names[v.value.index()]) + " constant");
            }
            if (kind_families[v.value.index()] != kind_families[values.front().value.index()]) {
                return pattern_error(PatternErrorKind::MixedList,
                                     "IN list mixes " + std::string(kind_names[values.front().value.index()]) +
                                         " and " + std::string(kind_names[v.value.index()]) + " constants");
            }
        }
        for (const StixValue& v : values) {
            auto converted = constant(v);
            if (!converted) return std::move(converted).error();
            c.constants.push_back(std::move(converted).value());
        }
        return finish_special(std::move(c));
    }

    Expected<CompiledComparison, PatternError> finish_special(CompiledComparison c) {
        const std::string& text = c.constants.front().text;
        if (c.op == Op::Like) {
            c.like = like_program(to_nfc(text));
        } else if (c.op == Op::Matches) {
            const std::string nfc = to_nfc(text);
            int error = 0;
            PCRE2_SIZE offset = 0;
            c.regex.text = compile_regex(nfc, PCRE2_UTF | PCRE2_UCP, error, offset);
            if (!c.regex.text) {
                PCRE2_UCHAR message[256];
                pcre2_get_error_message(error, message, sizeof message);
                return pattern_error(PatternErrorKind::InvalidRegex,
                                     "Invalid regular expression at offset " + std::to_string(offset) + ": " +
                                         reinterpret_cast<const char*>(message));
            }
            if (const auto bytes = latin1_bytes(nfc)) {
                c.regex.bytes = compile_regex(*bytes, 0, error, offset);
            }
        } else if (c.op == Op::IsSubset || c.op == Op::IsSuperset) {
            const auto block = parse_address_block(text);
            if (!block) {
                return pattern_error(PatternErrorKind::InvalidAddress, "Invalid IP address or CIDR block: " + text);
            }
            c.block = *block;
        }
        return c;
    }

    // START/STOP windows pushed down to the leaves; leaves of equal expression and window
    // share one candidate list.
    void assign_windows() {
        const std::size_t count = out_.nodes.size();
        std::vector<std::pair<Instant, Instant>> inherited(count, {instant_min, instant_max});
        std::map<std::tuple<std::uint32_t, Instant, Instant>, std::uint32_t> lists;
        for (std::size_t i = count; i-- > 0;) {
            const PatternNode& n = out_.nodes[i];
            auto window = inherited[i];
            if (n.kind == PatternNode::Kind::Leaf) {
                Leaf& leaf = out_.leaves[n.leaf];
                leaf.window_start = window.first;
                leaf.window_stop = window.second;
                const auto [at, inserted] =
                    lists.emplace(std::make_tuple(leaf.expression, window.first, window.second), out_.lists);
                if (inserted) ++out_.lists;
                leaf.list = at->second;
                continue;
            }
            if (n.kind == PatternNode::Kind::Qualified) {
                if (n.has_window) {
                    window.first = std::max(window.first, n.start);
                    window.second = std::min(window.second, n.stop);
                    // An empty window admits no record at all, however long its interval.
                    if (window.first >= window.second) window = {instant_max, instant_min};
                }
                inherited[n.left] = window;
            } else {
                inherited[n.left] = window;
                inherited[n.right] = window;
            }
        }
    }

    const CompileOptions& options_;
    CompiledPattern out_;
    std::unordered_map<std::string, std::uint32_t> expression_ids_;
};

}  // namespace

std::optional<Instant> within_limit(double seconds) {
    if (std::isinf(seconds)) return std::nullopt;
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);  // seconds = fraction * 2^exponent
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    Uint128 product = static_cast<Uint128>(mantissa) * 1'000'000'000u;
    if (shift >= 0) {
        // Past 2^100 ns (about 4 * 10^13 years) every difference of instants fits.
        if (shift > 40) return std::nullopt;
        product <<= shift;
        if (product >> 100 != 0) return std::nullopt;
    } else {
        product = -shift >= 127 ? 0 : product >> -shift;
    }
    return static_cast<Instant>(product);
}

Expected<CompiledPattern, PatternError> compile(const ast::PatternExpr& root, const CompileOptions& options) {
    return Compiler(options).run(root);
}

}  // namespace quarnel::match
