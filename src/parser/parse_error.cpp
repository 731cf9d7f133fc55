#include "parser/parse_error.hpp"

#include <algorithm>
#include <string>

namespace quarnel::parser {

namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for stray continuation bytes,
// so that walking never stalls).
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Steps over one character starting at `at`, never past `limit`.
std::size_t next_character(std::string_view text, std::size_t at, std::size_t limit) {
    return std::min(limit, at + sequence_length(static_cast<unsigned char>(text[at])));
}

std::string prepare_line(std::string_view line, bool visualise_breaks) {
    std::string shown;
    shown.reserve(line.size());
    for (const char c : line) {
        if (c == '\r' || c == '\n') {
            if (visualise_breaks) {
                shown += c == '\r' ? "\u240D" : "\u240A";
            }
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string underline(std::string_view source_line, std::size_t column) {
    std::string marks;
    std::size_t at = 0;
    while (marks.size() + 1 < column && at < source_line.size()) {
        marks += source_line[at] == '\t' ? '\t' : ' ';
        at = next_character(source_line, at, source_line.size());
    }
    // Characters that the display drops (a lone carriage return) still count as columns.
    marks.append(column - 1 - std::min(column - 1, marks.size()), ' ');
    return marks + "^---";
}

std::string join_rules(const std::vector<Rule>& rules) {
    std::string text;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (i > 0) {
            text += rules.size() == 2 ? " or " : (i + 1 == rules.size() ? ", or " : ", ");
        }
        text += display_name(rules[i]);
    }
    return text;
}

}  // namespace

SourceLocation SourceLocation::locate(std::string_view input, std::size_t position) {
    SourceLocation location;
    location.position = position;
    std::size_t line_start = 0;
    for (std::size_t at = 0; at < position;) {
        const char c = input[at];
        if (c == '\n' || (c == '\r' && at + 1 < position && input[at + 1] == '\n')) {
            at += c == '\r' ? 2 : 1;
            line_start = at;
            ++location.line;
            location.column = 1;
            continue;
        }
        at = next_character(input, at, position);
        ++location.column;
    }
    std::size_t line_end = input.find('\n', position);
    line_end = line_end == std::string_view::npos ? input.size() : line_end + 1;
    const bool at_break = position < input.size() && (input[position] == '\n' || input[position] == '\r');
    location.source_line = prepare_line(input.substr(line_start, line_end - line_start), at_break);
    return location;
}

std::string render_report(const SourceLocation& location, std::string_view message_line) {
    const std::string line_number = std::to_string(location.line);
    const std::string gutter(line_number.size(), ' ');
    std::string report;
    report += gutter + "--> " + line_number + ":" + std::to_string(location.column) + "\n";
    report += gutter + " |\n";
    report += line_number + " | " + location.source_line + "\n";
    report += gutter + " | " + underline(location.source_line, location.column) + "\n";
    report += gutter + " |\n";
    report += gutter + " = ";
    report += message_line;
    return report;
}

std::string GrammarError::message_line() const {
    if (!unexpected_rules.empty() && !expected_rules.empty()) {
        return "unexpected " + join_rules(unexpected_rules) + "; expected " + join_rules(expected_rules);
    }
    if (!unexpected_rules.empty()) {
        return "unexpected " + join_rules(unexpected_rules);
    }
    if (!expected_rules.empty()) {
        return "expected " + join_rules(expected_rules);
    }
    return "unknown parsing error";
}

std::string_view describe(IntErrorKind kind) {
    switch (kind) {
        case IntErrorKind::Empty:
            return "cannot parse integer from empty string";
        case IntErrorKind::InvalidDigit:
            return "invalid digit found in string";
        case IntErrorKind::PosOverflow:
            return "number too large to fit in target type";
        case IntErrorKind::NegOverflow:
            break;
    }
    return "number too small to fit in target type";
}

std::string_view describe(FloatErrorKind kind) {
    return kind == FloatErrorKind::Empty ? "cannot parse float from empty string" : "invalid float literal";
}

namespace {

struct MessageOf {
    std::string operator()(const ParseError::Grammar& e) const {
        return "Grammar error: " + e.error.render();
    }
    std::string operator()(const ParseError::InvalidInteger& e) const {
        return "Invalid integer: " + std::string(describe(e.kind));
    }
    std::string operator()(const ParseError::InvalidFloat& e) const {
        return "Invalid float: " + std::string(describe(e.kind));
    }
    std::string operator()(const ParseError::InvalidTimestamp& e) const {
        return "Invalid timestamp: " + e.text;
    }
    std::string operator()(const ParseError::UnexpectedRule& e) const {
        return "Unexpected rule: " + std::string(display_name(e.rule));
    }
    std::string operator()(const ParseError::MissingElement& e) const {
        return "Missing expected element: " + std::string(e.context);
    }
    std::string operator()(const ParseError::NestingTooDeep& e) const {
        return "Nesting too deep: " +
               render_report(e.location, "more than " + std::to_string(e.limit) +
                                             " levels of nested parentheses and brackets");
    }
    std::string operator()(const ParseError::InputTooLarge& e) const {
        return "Input too large: " + std::to_string(e.size) + " bytes, at most " +
               std::to_string(e.limit) + " bytes can be parsed";
    }
};

}  // namespace

std::string ParseError::message() const {
    return std::visit(MessageOf{}, alternative_);
}

}  // namespace quarnel::parser
