#include "tools/tree_json.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "tools/chains.hpp"
#include "tools/spelling.hpp"

namespace quarnel::tools {

namespace {

template <typename Integer>
void append_integer(std::string& out, Integer value) {
    std::array<char, 24> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), end);
}

void append_object_path(std::string& out, const ast::ObjectPath& path) {
    out += R"({"node": "ObjectPath", "object_type": )";
    append_json_string(out, path.object_type);
    out += R"(, "property_path": [)";
    bool first = true;
    for (const ast::PathComponent& step : path.property_path) {
        out += first ? "" : ", ";
        first = false;
        out += R"({"node": "PathComponent", "property": )";
        append_json_string(out, step.property);
        out += R"(, "index": )";
        if (!step.index) {
            out += "null";
        } else if (const auto* number = std::get_if<ast::PathIndex::Number>(&step.index->value)) {
            append_integer(out, *number);
        } else {
            out += R"("*")";
        }
        out += '}';
    }
    out += "]}";
}

void append_comparison(std::string& out, const ast::Comparison& comparison) {
    out += R"({"node": "Comparison", "op": ")";
    out += keyword(comparison.op);
    out += comparison.negated ? R"(", "negated": true, "object_path": )"
                              : R"(", "negated": false, "object_path": )";
    append_object_path(out, comparison.object_path);
    out += R"(, "constant": )";
    if (comparison.constant) {
        append_constant_json(out, *comparison.constant);
    } else {
        out += "null";
    }
    out += '}';
}

void append_optional_timestamp(std::string& out, const std::optional<ast::Timestamp>& timestamp) {
    if (!timestamp) {
        out += "null";
        return;
    }
    out += '"';
    append_utc_timestamp(out, *timestamp);
    out += '"';
}

class TreeWriter {
public:
    explicit TreeWriter(std::string& out) : out_(out) {}

    void pattern(const ast::PatternExpr& expr) {
        if (const auto* observation = std::get_if<ast::PatternExpr::Observation>(&expr.value)) {
            comparison_expr(*observation);
        } else if (const auto* composite = std::get_if<ast::CompositePattern>(&expr.value)) {
            chain("CompositePattern", flatten(*composite));
        } else {
            qualified(std::get<ast::QualifiedPattern>(expr.value));
        }
    }

    void comparison_expr(const ast::ComparisonExpr& expr) {
        if (const auto* comparison = std::get_if<ast::Comparison>(&expr.value)) {
            append_comparison(out_, *comparison);
        } else {
            chain("CompositeComparison", flatten(std::get<ast::CompositeComparison>(expr.value)));
        }
    }

private:
    void qualified(const ast::QualifiedPattern& qualified) {
        out_ += R"({"node": "QualifiedPattern", "repeat": )";
        if (qualified.repeat) {
            append_integer(out_, *qualified.repeat);
        } else {
            out_ += "null";
        }
        out_ += R"(, "within": )";
        if (qualified.within) {
            append_json_float(out_, *qualified.within);
        } else {
            out_ += "null";
        }
        out_ += R"(, "start": )";
        append_optional_timestamp(out_, qualified.start);
        out_ += R"(, "stop": )";
        append_optional_timestamp(out_, qualified.stop);
        out_ += R"(, "pattern": )";
        pattern(*qualified.pattern);
        out_ += '}';
    }

    template <typename Expr, typename Op>
    void chain(const char* node, const Chain<Expr, Op>& chain) {
        out_ += R"({"node": ")";
        out_ += node;
        out_ += R"(", "operands": [)";
        for (std::size_t i = 0; i < chain.operands.size(); ++i) {
            out_ += i == 0 ? "" : ", ";
            visit(*chain.operands[i]);
        }
        out_ += R"(], "operators": [)";
        for (std::size_t i = 0; i < chain.operators.size(); ++i) {
            out_ += i == 0 ? "\"" : ", \"";
            out_ += keyword(chain.operators[i]);
            out_ += '"';
        }
        out_ += "]}";
    }

    void visit(const ast::PatternExpr& expr) { pattern(expr); }
    void visit(const ast::ComparisonExpr& expr) { comparison_expr(expr); }

    std::string& out_;
};

}  // namespace

void append_json_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += std::isnan(value) ? R"("nan")" : value < 0 ? R"("-inf")" : R"("inf")";
        return;
    }
    std::array<char, 32> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    const std::string_view written(digits.data(), static_cast<std::size_t>(end - digits.data()));
    out += written;
    if (written.find_first_of(".e") == std::string_view::npos) {
        out += ".0";
    }
}

void append_constant_json(std::string& out, const ast::StixValue& value) {
    std::visit(
        [&out]<typename V>(const V& v) {
            if constexpr (std::is_same_v<V, ast::StixValue::String>) {
                append_json_string(out, v);
            } else if constexpr (std::is_same_v<V, ast::StixValue::Bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, ast::StixValue::Int>) {
                append_integer(out, v);
            } else if constexpr (std::is_same_v<V, ast::StixValue::Float>) {
                append_json_float(out, v);
            } else if constexpr (std::is_same_v<V, ast::Timestamp>) {
                append_optional_timestamp(out, v);
            } else {
                append_json_string(out, v.text);
            }
        },
        value.value);
}

void append_constant_json(std::string& out, const ast::ComparisonRhs& constant) {
    if (const auto* value = std::get_if<ast::ComparisonRhs::Value>(&constant.value)) {
        append_constant_json(out, *value);
        return;
    }
    out += '[';
    bool first = true;
    for (const ast::StixValue& element : std::get<ast::ComparisonRhs::List>(constant.value)) {
        out += first ? "" : ", ";
        first = false;
        append_constant_json(out, element);
    }
    out += ']';
}

void append_tree_json(std::string& out, const ast::PatternExpr& pattern) {
    TreeWriter(out).pattern(pattern);
}

}  // namespace quarnel::tools
