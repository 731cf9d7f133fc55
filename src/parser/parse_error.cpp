#include "parser/parse_error.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace quarnel::parser {

namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for stray continuation bytes,
// so that walking never stalls).
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0xC0) return 1;  // first, as most text is ASCII
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Steps over one character starting at `at`, never past `limit`.
std::size_t next_character(std::string_view text, std::size_t at, std::size_t limit) {
    return std::min(limit, at + sequence_length(static_cast<unsigned char>(text[at])));
}

constexpr bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

// The first line break at or after `at`, or the line's end.
std::size_t next_break(std::string_view line, std::size_t at) {
    while (at < line.size() && !is_line_break(line[at])) {
        ++at;
    }
    return at;
}

// Runs without a line break are copied whole.
std::string prepare_line(std::string_view line, bool visualise_breaks) {
    std::string shown;
    shown.reserve(line.size() + (visualise_breaks ? 4 : 0));  // a CR LF shown takes 6 bytes
    for (std::size_t at = 0;;) {
        const std::size_t line_break = next_break(line, at);
        shown.append(line, at, line_break - at);
        if (line_break == line.size()) {
            return shown;
        }
        if (visualise_breaks) {
            shown += line[line_break] == '\r' ? "\u240D" : "\u240A";
        }
        at = line_break + 1;
    }
}

// One mark for each character before the column: a tab for a tab, else a space, also for
// characters that the display drops (a lone carriage return) or that lie past the line.
std::string underline(std::string_view source_line, std::size_t column) {
    std::string marks(column - 1, ' ');
    std::size_t at = 0;
    for (std::size_t mark = 0; mark < marks.size() && at < source_line.size(); ++mark) {
        if (source_line[at] == '\t') {
            marks[mark] = '\t';
        }
        at = next_character(source_line, at, source_line.size());
    }
    marks += "^---";
    return marks;
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

// Bytes that end a run of plain one-byte characters in `locate`: line breaks and the bytes
// that begin (or continue) a multi-byte character.
constexpr std::array<bool, 256> ends_plain_run = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x100; ++c) {
        table[static_cast<std::size_t>(c)] = c >= 0x80 || is_line_break(static_cast<char>(c));
    }
    return table;
}();

}  // namespace

SourceLocation SourceLocation::locate(std::string_view input, std::size_t position) {
    SourceLocation location;
    location.position = position;
    std::size_t line_start = 0;
    for (std::size_t at = 0; at < position;) {
        // A run of plain characters only moves the column.
        const std::size_t run_start = at;
        while (at < position && !ends_plain_run[static_cast<unsigned char>(input[at])]) {
            ++at;
        }
        location.column += at - run_start;
        if (at == position) {
            break;
        }
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
    const bool at_break = position < input.size() && is_line_break(input[position]);
    location.source_line = prepare_line(input.substr(line_start, line_end - line_start), at_break);
    return location;
}

std::string render_report(const SourceLocation& location, std::string_view message_line) {
    const std::string line_number = std::to_string(location.line);
    const std::string gutter(line_number.size(), ' ');
    const std::string marks = underline(location.source_line, location.column);
    std::string report;
    report.reserve(64 + line_number.size() * 7 + location.source_line.size() + marks.size() + message_line.size());
    report.append(gutter).append("--> ").append(line_number).append(":").append(std::to_string(location.column));
    report.append("\n").append(gutter).append(" |\n");
    report.append(line_number).append(" | ").append(location.source_line).append("\n");
    report.append(gutter).append(" | ").append(marks).append("\n");
    report.append(gutter).append(" |\n");
    report.append(gutter).append(" = ").append(message_line);
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
