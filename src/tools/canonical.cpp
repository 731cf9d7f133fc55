#include "tools/canonical.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "parser/stix_parser.hpp"
#include "tools/chains.hpp"
#include "tools/spelling.hpp"

namespace quarnel::tools {

namespace {

constexpr std::size_t max_depth = parser::StixParser::max_nesting;

// Larger than any double: reads back as infinity.
const std::string infinite_digits = "1" + std::string(309, '0');

int precedence(ast::ObservationOp op) {
    switch (op) {
        case ast::ObservationOp::FOLLOWEDBY: return 0;
        case ast::ObservationOp::OR: return 1;
        case ast::ObservationOp::AND: return 2;
    }
    return 0;
}

int precedence(ast::BooleanOp op) { return op == ast::BooleanOp::AND ? 1 : 0; }

bool is_plain_property(std::string_view name) {
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_';
        if (!plain) {
            return false;
        }
    }
    return !name.empty();
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

void append_float_constant(std::string& out, double value) {
    if (std::isnan(value)) {
        throw NoCanonicalText("no canonical text: pattern text cannot spell a NaN constant");
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-" : "";
        out += infinite_digits + ".0";
        return;
    }
    append_plain_float(out, value);
}

// Seconds of WITHIN: whole numbers without a point, as people write them.
void append_seconds(std::string& out, double seconds) {
    if (std::isinf(seconds)) {
        out += infinite_digits;
        return;
    }
    if (std::isnan(seconds) || seconds < 0) {
        throw NoCanonicalText("no canonical text: WITHIN needs a number of seconds of 0 or more");
    }
    std::string digits;
    append_plain_float(digits, seconds);
    if (digits.ends_with(".0")) {
        digits.resize(digits.size() - 2);
    }
    out += digits;
}

// Control characters are escaped, except at either end of the text: there "\t", "\r" and
// "\n" would be read as spacing around the string, so those characters stay raw.
void append_string_constant(std::string& out, std::string_view text) {
    const auto is_control = [](char c) { return c == '\t' || c == '\r' || c == '\n'; };
    std::size_t lead = 0;
    while (lead < text.size() && is_control(text[lead])) {
        ++lead;
    }
    std::size_t trail = text.size();
    while (trail > lead && is_control(text[trail - 1])) {
        --trail;
    }
    out += '\'';
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const bool raw = at < lead || at >= trail;
        switch (c) {
            case '\'': out += "\\'"; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += raw ? "\t" : "\\t"; break;
            case '\r': out += raw ? "\r" : "\\r"; break;
            case '\n': out += raw ? "\n" : "\\n"; break;
            default: out += c;
        }
    }
    out += '\'';
}

void append_timestamp_constant(std::string& out, const ast::Timestamp& timestamp) {
    const int year = static_cast<int>(timestamp.date.year());
    out += "t'";
    if (year >= 0 && year <= 9999) {
        append_utc_timestamp(out, timestamp);
        out += '\'';
        return;
    }
    // Only an offset carries an instant outside the four-digit years (9999-12-31T23:00:00-05:00):
    // write it back in local time with the largest offset the form allows.
    constexpr int offset_seconds = 23 * 3600 + 59 * 60;
    const bool late = year > 9999;
    int seconds = timestamp.seconds_of_day + (late ? -offset_seconds : offset_seconds);
    std::chrono::sys_days day{timestamp.date};
    if (seconds < 0) {
        seconds += 86400;
        day -= std::chrono::days{1};
    } else if (seconds >= 86400) {
        seconds -= 86400;
        day += std::chrono::days{1};
    }
    const ast::Timestamp local{std::chrono::year_month_day{day}, seconds, timestamp.nanoseconds};
    const int local_year = static_cast<int>(local.date.year());
    if (local_year < 0 || local_year > 9999) {
        throw NoCanonicalText("no canonical text: the timestamp lies too far outside the years 0 to 9999");
    }
    append_utc_timestamp(out, local);
    out.pop_back();  // the "Z" gives way to the offset
    out += late ? "-23:59'" : "+23:59'";
}

void append_value(std::string& out, const ast::StixValue& value) {
    std::visit(
        [&out]<typename V>(const V& v) {
            if constexpr (std::is_same_v<V, ast::StixValue::String>) {
                append_string_constant(out, v);
            } else if constexpr (std::is_same_v<V, ast::StixValue::Bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, ast::StixValue::Int>) {
                append_integer(out, v);
            } else if constexpr (std::is_same_v<V, ast::StixValue::Float>) {
                append_float_constant(out, v);
            } else if constexpr (std::is_same_v<V, ast::Timestamp>) {
                append_timestamp_constant(out, v);
            } else if constexpr (std::is_same_v<V, ast::StixValue::Hex>) {
                out += "h'" + v.text + "'";
            } else {
                out += "b'" + v.text + "'";
            }
        },
        value.value);
}

void append_comparison(std::string& out, const ast::Comparison& comparison) {
    if (std::holds_alternative<ast::UnaryOp>(comparison.op)) {
        out += "EXISTS ";
        append_canonical_path(out, comparison.object_path);
        return;
    }
    append_canonical_path(out, comparison.object_path);
    out += comparison.negated ? " NOT " : " ";
    out += keyword(comparison.op);
    if (comparison.constant) {
        out += ' ';
        append_canonical_constant(out, *comparison.constant);
    }
}

void check_depth(std::size_t depth) {
    if (depth > max_depth) {
        throw NoCanonicalText(
            "no canonical text: the parentheses that operator precedence needs would nest " +
            std::to_string(depth) + " deep, deeper than the " + std::to_string(max_depth) +
            " levels the parser accepts");
    }
}

class Renderer {
public:
    explicit Renderer(std::string& out) : out_(out) {}

    // `depth` counts the brackets and parentheses open around the text being written.
    void pattern(const ast::PatternExpr& expr, std::size_t depth) {
        if (const auto* observation = std::get_if<ast::PatternExpr::Observation>(&expr.value)) {
            check_depth(depth + 1);
            out_ += '[';
            comparison_expr(*observation, depth + 1);
            out_ += ']';
        } else if (const auto* composite = std::get_if<ast::CompositePattern>(&expr.value)) {
            chain(flatten(*composite), depth);
        } else {
            qualified(std::get<ast::QualifiedPattern>(expr.value), depth);
        }
    }

    void comparison_expr(const ast::ComparisonExpr& expr, std::size_t depth) {
        if (const auto* comparison = std::get_if<ast::Comparison>(&expr.value)) {
            append_comparison(out_, *comparison);
        } else {
            chain(flatten(std::get<ast::CompositeComparison>(expr.value)), depth);
        }
    }

private:
    void qualified(const ast::QualifiedPattern& qualified, std::size_t depth) {
        const ast::PatternExpr& inner = *qualified.pattern;
        if (std::holds_alternative<ast::PatternExpr::Observation>(inner.value)) {
            pattern(inner, depth);
        } else {
            // Without parentheses, qualifiers would join the last operand or the inner
            // qualifiers.
            parenthesised(inner, depth);
        }
        out_ += ' ';
        append_canonical_qualifiers(out_, qualified);
    }

    void parenthesised(const ast::PatternExpr& expr, std::size_t depth) {
        check_depth(depth + 1);
        out_ += '(';
        pattern(expr, depth + 1);
        out_ += ')';
    }

    void parenthesised(const ast::ComparisonExpr& expr, std::size_t depth) {
        check_depth(depth + 1);
        out_ += '(';
        comparison_expr(expr, depth + 1);
        out_ += ')';
    }

    // Operand i + 1 closes a parenthesis when the operator before it binds less tightly
    // than the one after it: the left fold groups there, precedence would not.
    template <typename Expr, typename Op>
    void chain(const Chain<Expr, Op>& chain, std::size_t depth) {
        const std::size_t count = chain.operands.size();
        std::vector<bool> closes_after(count, false);
        std::size_t open = 0;
        for (std::size_t i = 1; i + 1 < count; ++i) {
            if (precedence(chain.operators[i - 1]) < precedence(chain.operators[i])) {
                closes_after[i] = true;
                ++open;
            }
        }
        check_depth(depth + open);
        out_.append(open, '(');
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) {
                out_ += ' ';
                out_ += keyword(chain.operators[i - 1]);
                out_ += ' ';
            }
            const Expr& operand = *chain.operands[i];
            if (i > 0 && is_composite(operand)) {
                parenthesised(operand, depth + open);
            } else {
                visit(operand, depth + open);
            }
            if (closes_after[i]) {
                out_ += ')';
                --open;
            }
        }
    }

    static bool is_composite(const ast::PatternExpr& expr) {
        return std::holds_alternative<ast::CompositePattern>(expr.value);
    }
    static bool is_composite(const ast::ComparisonExpr& expr) {
        return std::holds_alternative<ast::CompositeComparison>(expr.value);
    }
    void visit(const ast::PatternExpr& expr, std::size_t depth) { pattern(expr, depth); }
    void visit(const ast::ComparisonExpr& expr, std::size_t depth) { comparison_expr(expr, depth); }

    std::string& out_;
};

}  // namespace

const char* keyword(ast::ComparisonOp op) {
    switch (op) {
        case ast::ComparisonOp::EQ: return "=";
        case ast::ComparisonOp::NEQ: return "!=";
        case ast::ComparisonOp::GT: return ">";
        case ast::ComparisonOp::LT: return "<";
        case ast::ComparisonOp::GE: return ">=";
        case ast::ComparisonOp::LE: return "<=";
        case ast::ComparisonOp::IN: return "IN";
        case ast::ComparisonOp::LIKE: return "LIKE";
        case ast::ComparisonOp::MATCHES: return "MATCHES";
        case ast::ComparisonOp::ISSUBSET: return "ISSUBSET";
        case ast::ComparisonOp::ISSUPERSET: return "ISSUPERSET";
    }
    return "?";
}

const char* keyword(const ast::ComparisonOperator& op) {
    if (std::holds_alternative<ast::UnaryOp>(op)) {
        return "EXISTS";
    }
    return keyword(std::get<ast::ComparisonOp>(op));
}

void append_canonical_qualifiers(std::string& out, const ast::QualifiedPattern& qualified) {
    if (qualified.start.has_value() != qualified.stop.has_value()) {
        throw NoCanonicalText("no canonical text: START needs a STOP and STOP a START");
    }
    const std::size_t start = out.size();
    const auto keyword = [&](const char* word) {
        out += out.size() == start ? "" : " ";
        out += word;
    };
    if (qualified.repeat) {
        keyword("REPEATS ");
        append_integer(out, *qualified.repeat);
        out += " TIMES";
    }
    if (qualified.within) {
        keyword("WITHIN ");
        append_seconds(out, *qualified.within);
        out += " SECONDS";
    }
    if (qualified.start) {
        keyword("START ");
        append_timestamp_constant(out, *qualified.start);
        out += " STOP ";
        append_timestamp_constant(out, *qualified.stop);
    }
}

void append_canonical_path(std::string& out, const ast::ObjectPath& path) {
    out += path.object_type;
    out += ':';
    bool first = true;
    for (const ast::PathComponent& step : path.property_path) {
        if (!first) {
            out += '.';
        }
        first = false;
        if (is_plain_property(step.property)) {
            out += step.property;
        } else {
            out += '\'' + step.property + '\'';
        }
        if (step.index) {
            out += '[';
            if (const auto* number = std::get_if<ast::PathIndex::Number>(&step.index->value)) {
                append_integer(out, *number);
            } else {
                out += '*';
            }
            out += ']';
        }
    }
}

void append_canonical_constant(std::string& out, const ast::ComparisonRhs& constant) {
    if (const auto* value = std::get_if<ast::ComparisonRhs::Value>(&constant.value)) {
        append_value(out, *value);
        return;
    }
    out += '(';
    bool first = true;
    for (const ast::StixValue& element : std::get<ast::ComparisonRhs::List>(constant.value)) {
        out += first ? "" : ", ";
        first = false;
        append_value(out, element);
    }
    out += ')';
}

std::string canonical_text(const ast::PatternExpr& pattern) {
    std::string out;
    Renderer(out).pattern(pattern, 0);
    return out;
}

std::string canonical_text(const ast::Comparison& comparison) {
    std::string out;
    append_comparison(out, comparison);
    return out;
}

}  // namespace quarnel::tools
