// The one error type of parsing and building, and the grammar's failure report.
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "parser/rule.hpp"

namespace quarnel::parser {

// Where a failure lies, prepared for display.
struct SourceLocation {
    std::size_t position = 0;  // byte offset
    std::size_t line = 1;      // counted from 1, in characters
    std::size_t column = 1;    // counted from 1, in characters
    std::string source_line;   // the line holding the position, as displayed

    static SourceLocation locate(std::string_view input, std::size_t position);
    bool operator==(const SourceLocation&) const = default;
};

// The six-line report: location, source line, underline and message line.
std::string render_report(const SourceLocation& location, std::string_view message_line);

struct GrammarError {
    std::vector<Rule> expected_rules;    // sorted by rule number, no duplicates
    std::vector<Rule> unexpected_rules;  // likewise
    SourceLocation location;

    std::string message_line() const;
    std::string render() const { return render_report(location, message_line()); }
    bool operator==(const GrammarError&) const = default;
};

enum class IntErrorKind { Empty, InvalidDigit, PosOverflow, NegOverflow };
enum class FloatErrorKind { Empty, Invalid };

std::string_view describe(IntErrorKind kind);
std::string_view describe(FloatErrorKind kind);

class ParseError {
public:
    struct Grammar {
        GrammarError error;
        bool operator==(const Grammar&) const = default;
    };
    struct InvalidInteger {
        IntErrorKind kind;
        bool operator==(const InvalidInteger&) const = default;
    };
    struct InvalidFloat {
        FloatErrorKind kind;
        bool operator==(const InvalidFloat&) const = default;
    };
    struct InvalidTimestamp {
        std::string text;
        bool operator==(const InvalidTimestamp&) const = default;
    };
    struct UnexpectedRule {
        Rule rule;
        bool operator==(const UnexpectedRule&) const = default;
    };
    struct MissingElement {
        std::string_view context;  // one of the builder's fixed texts
        bool operator==(const MissingElement&) const = default;
    };
    // Input nested deeper than the parser accepts, reported before the stack could run out.
    struct NestingTooDeep {
        SourceLocation location;
        std::size_t limit;
        bool operator==(const NestingTooDeep&) const = default;
    };
    // Input longer than the 32-bit offsets of the parse tree can address.
    struct InputTooLarge {
        std::size_t size;
        std::size_t limit;
        bool operator==(const InputTooLarge&) const = default;
    };

    using Alternative = std::variant<Grammar, InvalidInteger, InvalidFloat, InvalidTimestamp,
                                     UnexpectedRule, MissingElement, NestingTooDeep,
                                     InputTooLarge>;

    template <typename T>
        requires std::constructible_from<Alternative, T>
    ParseError(T alternative) : alternative_(std::move(alternative)) {}

    const Alternative& alternative() const { return alternative_; }
    std::string message() const;
    bool operator==(const ParseError&) const = default;

private:
    Alternative alternative_;
};

}  // namespace quarnel::parser
