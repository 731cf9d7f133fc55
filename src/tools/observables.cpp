#include "tools/observables.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <utility>

#include "tools/canonical.hpp"
#include "tools/chains.hpp"
#include "tools/spelling.hpp"
#include "tools/tree_json.hpp"

namespace quarnel::tools {

namespace {

// Visits the observations and their comparisons in text order. Chains are walked flat;
// only parenthesised operands recurse, as deep as the parser allowed.
class Walker {
public:
    using OnObservation = std::function<void(std::int64_t)>;
    using OnComparison = std::function<void(const ast::Comparison&)>;
    using OnOperator = std::function<void(ast::ObservationOp)>;

    std::vector<const ast::QualifiedPattern*> qualifiers;  // in force now, outermost first
    OnObservation on_observation = [](std::int64_t) {};
    OnComparison on_comparison = [](const ast::Comparison&) {};
    OnOperator on_operator = [](ast::ObservationOp) {};

    void pattern(const ast::PatternExpr& expr) {
        if (const auto* observation = std::get_if<ast::PatternExpr::Observation>(&expr.value)) {
            on_observation(observations_++);
            comparisons(*observation);
        } else if (const auto* composite = std::get_if<ast::CompositePattern>(&expr.value)) {
            const PatternChain chain = flatten(*composite);
            for (std::size_t i = 0; i < chain.operands.size(); ++i) {
                if (i > 0) {
                    on_operator(chain.operators[i - 1]);
                }
                pattern(*chain.operands[i]);
            }
        } else {
            const auto& qualified = std::get<ast::QualifiedPattern>(expr.value);
            qualifiers.push_back(&qualified);
            pattern(*qualified.pattern);
            qualifiers.pop_back();
        }
    }

    std::int64_t observation_count() const { return observations_; }

private:
    void comparisons(const ast::ComparisonExpr& expr) {
        if (const auto* comparison = std::get_if<ast::Comparison>(&expr.value)) {
            on_comparison(*comparison);
            return;
        }
        for (const ast::ComparisonExpr* operand : flatten(std::get<ast::CompositeComparison>(expr.value)).operands) {
            comparisons(*operand);
        }
    }

    std::int64_t observations_ = 0;
};

std::string property_path_text(const ast::ObjectPath& path) {
    std::string text;
    append_canonical_path(text, path);
    return text.substr(path.object_type.size() + 1);
}

const char* type_name(const ast::StixValue& value) {
    constexpr std::array<const char*, 7> names{"string", "integer", "float", "boolean",
                                               "timestamp", "hex", "binary"};
    return names[value.value.index()];
}

Value constant_value(const ast::StixValue& value) {
    return std::visit(
        []<typename V>(const V& v) -> Value {
            if constexpr (std::is_same_v<V, ast::StixValue::Int>) {
                return {std::int64_t{v}};
            } else if constexpr (std::is_same_v<V, ast::Timestamp>) {
                std::string text;
                append_utc_timestamp(text, v);
                return {std::move(text)};
            } else if constexpr (std::is_same_v<V, ast::StixValue::Hex> || std::is_same_v<V, ast::StixValue::Binary>) {
                return {v.text.str()};
            } else if constexpr (std::is_same_v<V, ast::StixValue::String>) {
                return {v.str()};
            } else {
                return {v};
            }
        },
        value.value);
}

std::vector<const ast::StixValue*> constants_of(const ast::Comparison& comparison) {
    std::vector<const ast::StixValue*> constants;
    if (!comparison.constant) {
        return constants;
    }
    if (const auto* value = std::get_if<ast::ComparisonRhs::Value>(&comparison.constant->value)) {
        constants.push_back(value);
    } else {
        for (const ast::StixValue& element : std::get<ast::ComparisonRhs::List>(comparison.constant->value)) {
            constants.push_back(&element);
        }
    }
    return constants;
}

Value qualifier_value(const ast::QualifiedPattern& qualified) {
    Object fields;
    if (qualified.repeat) {
        fields.emplace_back("repeats", Value{std::int64_t{*qualified.repeat}});
    }
    if (qualified.within) {
        fields.emplace_back("within", Value{*qualified.within});
    }
    for (const auto& [name, timestamp] : {std::pair{"start", &qualified.start}, std::pair{"stop", &qualified.stop}}) {
        if (*timestamp) {
            std::string text;
            append_utc_timestamp(text, **timestamp);
            fields.emplace_back(name, Value{std::move(text)});
        }
    }
    return {std::move(fields)};
}

void append_csv_field(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
}

// A constant as a CSV cell: the value itself, not its pattern spelling.
std::string raw_text(const ast::StixValue& value) {
    if (const auto* text = std::get_if<ast::StixValue::String>(&value.value)) {
        return text->str();
    }
    std::string json;
    append_json(json, constant_value(value));
    if (json.starts_with('"')) {  // timestamps, hex and base64 text hold no escapes
        return json.substr(1, json.size() - 2);
    }
    return json;
}

template <typename T>
void add_once(Array& list, T item) {
    Value value{std::move(item)};
    const bool seen = std::any_of(list.begin(), list.end(), [&](const Value& known) {
        return std::get<std::string>(known.data) == std::get<std::string>(value.data);
    });
    if (!seen) {
        list.push_back(std::move(value));
    }
}

}  // namespace

std::vector<Observable> observables_of(const ast::PatternExpr& pattern) {
    std::vector<Observable> found;
    Walker walker;
    std::int64_t current = 0;
    walker.on_observation = [&current](std::int64_t ordinal) { current = ordinal; };
    walker.on_comparison = [&](const ast::Comparison& comparison) {
        found.push_back({current, &comparison, {walker.qualifiers.rbegin(), walker.qualifiers.rend()}});
    };
    walker.pattern(pattern);
    return found;
}

Value to_value(const Observable& observable) {
    const ast::Comparison& comparison = *observable.comparison;
    Array steps;
    for (const ast::PathComponent& step : comparison.object_path.property_path) {
        steps.push_back({step.property.str()});
        if (step.index) {
            if (const auto* number = std::get_if<ast::PathIndex::Number>(&step.index->value)) {
                steps.push_back({std::int64_t{*number}});
            } else {
                steps.push_back({std::string("*")});
            }
        }
    }
    Array constants;
    for (const ast::StixValue* constant : constants_of(comparison)) {
        constants.push_back({Object{{"type", {std::string(type_name(*constant))}}, {"value", constant_value(*constant)}}});
    }
    Array qualifiers;
    for (const ast::QualifiedPattern* qualified : observable.qualifiers) {
        qualifiers.push_back(qualifier_value(*qualified));
    }
    return {Object{
        {"observation", {observable.observation}},
        {"object_type", {comparison.object_path.object_type.str()}},
        {"path", {property_path_text(comparison.object_path)}},
        {"steps", {std::move(steps)}},
        {"operator", {std::string(keyword(comparison.op))}},
        {"negated", {comparison.negated}},
        {"constants", {std::move(constants)}},
        {"qualifiers", {std::move(qualifiers)}},
    }};
}

void append_csv_row(std::string& out, std::string_view source, const Observable& observable) {
    const ast::Comparison& comparison = *observable.comparison;
    const std::vector<const ast::StixValue*> constants = constants_of(comparison);
    std::string types;
    std::string values;
    const bool is_list = comparison.constant &&
                         std::holds_alternative<ast::ComparisonRhs::List>(comparison.constant->value);
    if (is_list) {
        Array elements;
        for (const ast::StixValue* constant : constants) {
            types += types.empty() ? "" : " ";
            types += type_name(*constant);
            elements.push_back(constant_value(*constant));
        }
        append_json(values, {std::move(elements)});
    } else if (!constants.empty()) {
        types = type_name(*constants.front());
        values = raw_text(*constants.front());
    }
    std::string qualifiers;
    for (const ast::QualifiedPattern* qualified : observable.qualifiers) {
        qualifiers += qualifiers.empty() ? "" : "; ";
        append_canonical_qualifiers(qualifiers, *qualified);
    }
    const std::string fields[] = {
        std::string(source), std::to_string(observable.observation), comparison.object_path.object_type.str(),
        property_path_text(comparison.object_path), keyword(comparison.op),
        comparison.negated ? "true" : "false", types, values, qualifiers};
    bool first = true;
    for (const std::string& field : fields) {
        out += first ? "" : ",";
        first = false;
        append_csv_field(out, field);
    }
    out += "\r\n";
}

Value inspection_of(const ast::PatternExpr& pattern) {
    Array object_types, object_paths, comparison_operators, observation_operators, qualifier_kinds;
    std::int64_t comparisons = 0;
    Walker walker;
    walker.on_comparison = [&](const ast::Comparison& comparison) {
        ++comparisons;
        add_once(object_types, comparison.object_path.object_type.str());
        std::string path;
        append_canonical_path(path, comparison.object_path);
        add_once(object_paths, std::move(path));
        add_once(comparison_operators, std::string(comparison.negated ? "NOT " : "") + keyword(comparison.op));
    };
    walker.on_operator = [&](ast::ObservationOp op) { add_once(observation_operators, std::string(keyword(op))); };
    walker.on_observation = [&](std::int64_t) {
        for (const ast::QualifiedPattern* qualified : walker.qualifiers) {
            if (qualified->repeat) {
                add_once(qualifier_kinds, std::string("REPEATS"));
            }
            if (qualified->within) {
                add_once(qualifier_kinds, std::string("WITHIN"));
            }
            if (qualified->start || qualified->stop) {
                add_once(qualifier_kinds, std::string("START STOP"));
            }
        }
    };
    walker.pattern(pattern);
    return {Object{
        {"object_types", {std::move(object_types)}},
        {"object_paths", {std::move(object_paths)}},
        {"comparison_operators", {std::move(comparison_operators)}},
        {"observation_operators", {std::move(observation_operators)}},
        {"qualifiers", {std::move(qualifier_kinds)}},
        {"observations", {walker.observation_count()}},
        {"comparisons", {comparisons}},
    }};
}

}  // namespace quarnel::tools
