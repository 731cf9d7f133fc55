#include "tools/strict.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <variant>

#include "parser/builder.hpp"
#include "parser/stix_parser.hpp"
#include "tools/canonical.hpp"
#include "tools/strict_detail.hpp"
#include "tools/strict_values.hpp"

namespace quarnel::tools {

namespace {

constexpr std::array<StrictCode, 18> codes{{
    {"hash-value", "a hash value of the wrong length or alphabet for its algorithm"},
    {"hash-algorithm", "a hash algorithm name outside the STIX 2.1 vocabulary (SHA256 for SHA-256)"},
    {"base64", "a b'...' constant that is not valid base64"},
    {"hex-digits", "an h'...' constant with an odd number of digits"},
    {"regex", "a MATCHES expression that does not compile as a PCRE2 regular expression"},
    {"subnet", "an ISSUBSET or ISSUPERSET constant that is not an IPv4 or IPv6 address or CIDR block"},
    {"like-property", "LIKE on a property that is not a string"},
    {"matches-property", "MATCHES on a property that is neither a string nor binary"},
    {"constant-kind", "a constant of another kind than its property or operator takes"},
    {"start-stop", "a START that is not before its STOP"},
    {"repeats", "REPEATS fewer than 1 TIMES"},
    {"within", "WITHIN a number of seconds that is not above 0"},
    {"timestamp-range", "a timestamp that a Python datetime cannot hold (year 1 to 9999, no leap second)"},
    {"precedence", "mixed operators without parentheses, grouped here otherwise than by STIX 2.1 precedence"},
    {"object-type", "an object type that STIX 2.1 does not define (custom types begin with x-)"},
    {"property-name", "a property that the object, extension or embedded type does not have"},
    {"extension-name",
     "an extension that STIX 2.1 does not define (custom ones begin with x- or extension-definition--)"},
    {"property-kind", "an index on a property that is not a list, or a step into a plain value"},
}};

}  // namespace

std::span<const StrictCode> strict_codes() {
    return codes;
}

bool is_strict_code(std::string_view code) {
    return std::any_of(codes.begin(), codes.end(), [&](const StrictCode& entry) { return entry.code == code; });
}

namespace strict {

void Findings::add(std::string_view code, std::string message) {
    findings_.push_back({code, std::move(message), where_ ? std::optional(where_->begin) : std::nullopt,
                         where_ ? std::optional(where_->end) : std::nullopt});
}

void Findings::add_at(std::string_view code, std::string message, Span where) {
    findings_.push_back({code, std::move(message), where.begin, where.end});
}

std::vector<Finding> Findings::take() && {
    // In the order of the text; a finding without a place keeps its turn at the end.
    std::stable_sort(findings_.begin(), findings_.end(), [](const Finding& a, const Finding& b) {
        return a.begin.has_value() && (!b.begin.has_value() || *a.begin < *b.begin);
    });
    return std::move(findings_);
}

namespace {

template <typename... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string_view operator_text(ast::ComparisonOp op) {
    static constexpr std::array<std::string_view, 11> texts{
        "=", "!=", ">", "<", ">=", "<=", "IN", "LIKE", "MATCHES", "ISSUBSET", "ISSUPERSET",
    };
    return texts[static_cast<std::size_t>(op)];
}

std::string_view constant_kind(const ast::StixValue& value) {
    static constexpr std::array<std::string_view, 7> names{
        "a string", "an integer", "a float", "a boolean", "a timestamp", "a hex", "a binary",
    };
    return names[value.value.index()];
}

bool is_string_kind(Kind kind) {
    switch (kind) {
        case Kind::String:
        case Kind::Enum:
        case Kind::OpenVocab:
        case Kind::Id:
        case Kind::Type:
        case Kind::Reference:
            return true;
        default:
            return false;
    }
}

bool is_text(const ast::StixValue& value) {
    return std::holds_alternative<ast::StixValue::String>(value.value);
}

// Whether a constant may stand beside a property of `kind` in an ordinary comparison.
bool fits(Kind kind, const ast::StixValue& value) {
    switch (kind) {
        case Kind::Integer:
            return std::holds_alternative<std::int64_t>(value.value);
        case Kind::Float:
            return std::holds_alternative<std::int64_t>(value.value) || std::holds_alternative<double>(value.value);
        case Kind::Boolean:
            return std::holds_alternative<bool>(value.value);
        case Kind::Timestamp:
            return std::holds_alternative<ast::Timestamp>(value.value);
        case Kind::Hex:
            return std::holds_alternative<ast::StixValue::Hex>(value.value) || is_text(value);
        case Kind::Binary:
            return std::holds_alternative<ast::StixValue::Binary>(value.value) || is_text(value);
        case Kind::List:
            return true;  // an unindexed list: its elements are not known here
        case Kind::Hashes:
        case Kind::Dictionary:
        case Kind::Extensions:
        case Kind::Object:
            return false;
        default:
            return is_text(value);
    }
}

std::vector<const ast::StixValue*> constants_of(const ast::Comparison& comparison) {
    std::vector<const ast::StixValue*> out;
    if (!comparison.constant) {
        return out;
    }
    std::visit(Overloaded{
                   [&](const ast::StixValue& value) { out.push_back(&value); },
                   [&](const ast::ComparisonRhs::List& list) {
                       for (const ast::StixValue& value : list) {
                           out.push_back(&value);
                       }
                   },
               },
               comparison.constant->value);
    return out;
}

// The checks of one comparison.
class ComparisonChecks {
public:
    ComparisonChecks(const ast::Comparison& comparison, Findings& findings)
        : comparison_(comparison), findings_(findings), constants_(constants_of(comparison)),
          op_(std::get_if<ast::ComparisonOp>(&comparison.op)) {}

    void run() {
        const PathFacts facts = resolve_path(comparison_.object_path, findings_);
        for (const ast::StixValue* value : constants_) {
            check_spelling(*value);
        }
        if (facts.hash_algorithm) {
            check_hash(*facts.hash_algorithm);
        }
        if (op_ != nullptr) {
            check_operator(facts.kind);
        }
    }

private:
    std::string head() const {
        std::string out = path_text(comparison_.object_path);
        if (op_ != nullptr) {
            out += comparison_.negated ? " NOT " : " ";
            out += operator_text(*op_);
        }
        return out;
    }

    std::string about(const ast::StixValue& value) const {
        return head() + " " + constant_text(value);
    }

    void check_spelling(const ast::StixValue& value) {
        std::visit(Overloaded{
                       [&](const ast::StixValue::Binary& binary) {
                           if (!is_base64(binary.text)) {
                               findings_.add("base64", about(value) + ": not valid base64");
                           }
                       },
                       [&](const ast::StixValue::Hex& hex) {
                           if (hex.text.size() % 2 != 0) {
                               findings_.add("hex-digits", about(value) + ": an odd number of hexadecimal digits");
                           }
                       },
                       [&](const ast::Timestamp& timestamp) {
                           if (const auto problem = datetime_problem(timestamp)) {
                               findings_.add("timestamp-range",
                                             about(value) + ": a Python datetime cannot hold it: " + *problem);
                           }
                       },
                       [](const auto&) {},
                   },
                   value.value);
    }

    // `written` is no custom name: the path walk leaves those alone.
    void check_hash(std::string_view written) {
        std::optional<std::string_view> algorithm = written;
        if (!is_vocabulary_hash_name(written)) {
            algorithm = vocabulary_hash_name(written);
            findings_.add("hash-algorithm", hash_name_message(written, algorithm));
        }
        const bool compares_values = op_ != nullptr && (*op_ == ast::ComparisonOp::EQ ||
                                                        *op_ == ast::ComparisonOp::NEQ || *op_ == ast::ComparisonOp::IN);
        if (!algorithm || !compares_values) {
            return;
        }
        for (const ast::StixValue* value : constants_) {
            if (const auto* text = std::get_if<ast::StixValue::String>(&value->value)) {
                if (const auto problem = hash_value_problem(*algorithm, *text)) {
                    findings_.add("hash-value", about(*value) + ": " + *problem);
                }
            }
        }
    }

    std::string hash_name_message(std::string_view written, std::optional<std::string_view> vocabulary) const {
        std::string message = path_text(comparison_.object_path) + ": '" + std::string(written) +
                              "' is not a hash algorithm name of the STIX 2.1 vocabulary";
        if (vocabulary) {
            return message + "; it is written '" + std::string(*vocabulary) + "' there";
        }
        message += " (";
        for (const std::string_view name : hash_algorithm_names()) {
            message += std::string(name) + ", ";
        }
        return message + "or a custom name beginning with x_)";
    }

    void check_operator(std::optional<Kind> kind) {
        switch (*op_) {
            case ast::ComparisonOp::LIKE:
                check_like(kind);
                return;
            case ast::ComparisonOp::MATCHES:
                check_matches(kind);
                return;
            case ast::ComparisonOp::ISSUBSET:
            case ast::ComparisonOp::ISSUPERSET:
                check_subnet();
                return;
            default:
                check_constant_kinds(kind);
        }
    }

    void check_like(std::optional<Kind> kind) {
        if (kind && *kind != Kind::List && !is_string_kind(*kind)) {
            findings_.add("like-property", head() + ": LIKE on " + kind_phrase(*kind) + ", not a string");
        }
        for (const ast::StixValue* value : constants_) {
            if (!is_text(*value)) {
                findings_.add("constant-kind", about(*value) + ": LIKE takes a string, not " +
                                                   std::string(constant_kind(*value)));
            }
        }
    }

    void check_matches(std::optional<Kind> kind) {
        if (kind && *kind != Kind::List && !is_string_kind(*kind) && *kind != Kind::Binary && *kind != Kind::Hex) {
            findings_.add("matches-property",
                          head() + ": MATCHES on " + kind_phrase(*kind) + ", neither a string nor binary");
        }
        for (const ast::StixValue* value : constants_) {
            const auto* text = std::get_if<ast::StixValue::String>(&value->value);
            if (text == nullptr) {
                findings_.add("regex", about(*value) + ": MATCHES takes a regular expression in a string, not " +
                                           std::string(constant_kind(*value)));
            } else if (const auto problem = regex_problem(*text)) {
                findings_.add("regex", about(*value) + ": not a PCRE2 regular expression: " + *problem);
            }
        }
    }

    void check_subnet() {
        for (const ast::StixValue* value : constants_) {
            const auto* text = std::get_if<ast::StixValue::String>(&value->value);
            if (text == nullptr || !is_address_or_block(*text)) {
                findings_.add("subnet", about(*value) + ": " + std::string(operator_text(*op_)) +
                                            " takes an IPv4 or IPv6 address or CIDR block");
            }
        }
    }

    void check_constant_kinds(std::optional<Kind> kind) {
        if (!kind) {
            return;
        }
        for (const ast::StixValue* value : constants_) {
            if (!fits(*kind, *value)) {
                findings_.add("constant-kind", about(*value) + ": " + kind_phrase(*kind) + " compared with " +
                                                   std::string(constant_kind(*value)));
            }
        }
    }

    static std::string kind_phrase(Kind kind) {
        return kind_with_article(kind) + " property";
    }

    const ast::Comparison& comparison_;
    Findings& findings_;
    const std::vector<const ast::StixValue*> constants_;
    const ast::ComparisonOp* op_;
};

bool before(const ast::Timestamp& a, const ast::Timestamp& b) {
    return std::tie(a.date, a.seconds_of_day, a.nanoseconds) < std::tie(b.date, b.seconds_of_day, b.nanoseconds);
}

std::string canonical_or_reason(const ast::PatternExpr& tree) {
    try {
        return "canonical text: " + canonical_text(tree);
    } catch (const NoCanonicalText& none) {
        return none.what();
    }
}

void check_qualifiers(const ast::QualifiedPattern& qualified, Findings& findings) {
    if (qualified.repeat && *qualified.repeat < 1) {
        findings.add("repeats", "REPEATS " + std::to_string(*qualified.repeat) + " TIMES: at least 1 is needed");
    }
    if (qualified.within && !(*qualified.within > 0 && std::isfinite(*qualified.within))) {
        findings.add("within", "WITHIN " + constant_text(ast::StixValue{*qualified.within}) +
                                   " SECONDS: a finite number above 0 is needed");
    }
    for (const auto& [word, instant] : {std::pair{"START", qualified.start}, std::pair{"STOP", qualified.stop}}) {
        if (!instant) {
            continue;
        }
        if (const auto problem = datetime_problem(*instant)) {
            findings.add("timestamp-range", std::string(word) + " " + timestamp_text(*instant) +
                                                ": a Python datetime cannot hold it: " + *problem);
        }
    }
    if (qualified.start && qualified.stop && !before(*qualified.start, *qualified.stop)) {
        findings.add("start-stop", "START " + timestamp_text(*qualified.start) + " is not before STOP " +
                                       timestamp_text(*qualified.stop));
    }
}

// Walks the tree in the order of the text without recursion (a chain nests one level
// per operand), and tells the findings where each comparison and qualifier list lies.
class TreeChecks {
public:
    TreeChecks(Findings& findings, SourceSpans spans) : findings_(findings), spans_(std::move(spans)) {}

    void run(const ast::PatternExpr& root) {
        struct Visit {
            const ast::PatternExpr* expr;
            const ast::QualifiedPattern* qualifiers;  // set: check these, the pattern is done
            std::size_t qualifier_list;
        };
        std::vector<Visit> stack{{&root, nullptr, 0}};
        std::size_t qualifier_lists = 0;
        while (!stack.empty()) {
            const Visit visit = stack.back();
            stack.pop_back();
            if (visit.qualifiers != nullptr) {
                findings_.locate(span(spans_.qualifier_lists, visit.qualifier_list));
                check_qualifiers(*visit.qualifiers, findings_);
                continue;
            }
            std::visit(Overloaded{
                           [&](const ast::ComparisonExpr& observation) { comparisons(observation); },
                           [&](const ast::CompositePattern& composite) {
                               stack.push_back({composite.right.get(), nullptr, 0});
                               stack.push_back({composite.left.get(), nullptr, 0});
                           },
                           [&](const ast::QualifiedPattern& qualified) {
                               stack.push_back({nullptr, &qualified, qualifier_lists++});
                               stack.push_back({qualified.pattern.get(), nullptr, 0});
                           },
                       },
                       visit.expr->value);
        }
    }

private:
    void comparisons(const ast::ComparisonExpr& observation) {
        std::vector<const ast::ComparisonExpr*> stack{&observation};
        while (!stack.empty()) {
            const ast::ComparisonExpr* expr = stack.back();
            stack.pop_back();
            if (const auto* composite = std::get_if<ast::CompositeComparison>(&expr->value)) {
                stack.push_back(composite->right.get());
                stack.push_back(composite->left.get());
                continue;
            }
            findings_.locate(span(spans_.comparisons, comparisons_++));
            ComparisonChecks(std::get<ast::Comparison>(expr->value), findings_).run();
        }
    }

    static std::optional<Span> span(const std::vector<Span>& spans, std::size_t index) {
        return index < spans.size() ? std::optional(spans[index]) : std::nullopt;
    }

    Findings& findings_;
    const SourceSpans spans_;
    std::size_t comparisons_ = 0;
};

}  // namespace
}  // namespace strict

parser::Result<std::vector<Finding>> strict_findings(std::string_view pattern) {
    parser::Result<ast::PatternExpr> tree = parser::parse_pattern(pattern);
    if (!tree) {
        return std::move(tree).error();
    }
    // The grouping as written lives only in the grammar's parse tree.
    parser::Result<parser::ParseTree> parsed = parser::StixParser::parse(parser::Rule::pattern, pattern);
    if (!parsed) {
        return std::move(parsed).error();
    }
    strict::Findings findings;
    strict::check_precedence(parsed.value(), [&] { return strict::canonical_or_reason(tree.value()); }, findings);
    strict::TreeChecks(findings, strict::source_spans(parsed.value())).run(tree.value());
    return std::move(findings).take();
}

}  // namespace quarnel::tools
