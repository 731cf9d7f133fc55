// Fuzz target over the parser core. Beyond "does not crash", it checks that:
// - a rejected input's report names a line and column inside the input, with the
//   underline's caret standing under that column;
// - an accepted input's tree survives a copy and a destruction, and the copy is equal;
// - extra whitespace between the tokens of an accepted pattern gives an equal tree;
// - the shared build, dropped with its block, accepts and rejects alike, with an equal tree
//   or the same message;
// - so does a build from the grammar's whole parse tree (the parse itself builds while the
//   grammar matches, without one).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "parser/builder.hpp"
#include "parser/stix_parser.hpp"

namespace {

using quarnel::parser::Node;
using quarnel::parser::ParseError;
using quarnel::parser::Rule;
using quarnel::parser::StixParser;

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

std::size_t count_lines(std::string_view input) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\n') ++lines;
    }
    return lines;
}

// "Grammar error:  --> L:C", then the gutter, the source line and the underline.
void check_report(std::string_view input, const std::string& message) {
    const std::vector<std::string> lines = lines_of(message);
    if (lines.size() < 6) fail("report has fewer than six lines");
    const std::size_t arrow = lines[0].find("--> ");
    if (arrow == std::string::npos) fail("report has no location");
    std::size_t line = 0, column = 0;
    if (std::sscanf(lines[0].c_str() + arrow + 4, "%zu:%zu", &line, &column) != 2) fail("unreadable location");
    if (line < 1 || line > count_lines(input)) fail("line outside the input");
    if (column < 1 || column > input.size() + 1) fail("column outside the input");
    const std::string& underline = lines[lines.size() - 3];
    const std::size_t gutter = std::to_string(line).size() + 3;  // "S | "
    const std::size_t caret = underline.find("^---");
    if (caret == std::string::npos || caret < gutter || caret - gutter != column - 1) {
        fail("caret not under the reported column");
    }
}

bool is_token_level(Rule parent) {
    // Children of these rules are tokens or token groups; their boundaries lie outside
    // every quoted constant and path, so whitespace may stand there.
    switch (parent) {
        case Rule::pattern: case Rule::expression: case Rule::observation:
        case Rule::observation_group: case Rule::comparison: case Rule::qualifier:
        case Rule::within: case Rule::repeat: case Rule::list:
            return true;
        default:
            return false;
    }
}

void collect_boundaries(Node node, std::set<std::uint32_t>& at) {
    const bool token_level = is_token_level(node.rule());
    for (const Node child : node.children()) {
        if (token_level) {
            at.insert(child.begin());
            at.insert(child.end());
        }
        collect_boundaries(child, at);
    }
}

std::string with_extra_whitespace(std::string_view input, const std::set<std::uint32_t>& at) {
    std::string spaced;
    std::size_t from = 0;
    for (const std::uint32_t position : at) {
        spaced.append(input.substr(from, position - from));
        spaced += ' ';
        from = position;
    }
    spaced.append(input.substr(from));
    return spaced;
}

// `parsed` is the grammar's whole parse tree of `input`.
void check_accepted(std::string_view input, const quarnel::parser::ParseTree& parsed,
                    const quarnel::ast::PatternExpr& tree) {
    {
        const quarnel::ast::PatternExpr copy = tree;
        if (!(copy == tree)) fail("copy differs from its original");
    }
    std::set<std::uint32_t> boundaries;
    for (const Node top : parsed.top_level()) collect_boundaries(top, boundaries);
    const std::string spaced = with_extra_whitespace(input, boundaries);
    const auto reparsed = quarnel::parser::parse_pattern(spaced);
    if (!reparsed) fail("extra whitespace between tokens rejected");
    if (!(reparsed.value() == tree)) fail("extra whitespace between tokens changed the tree");
}

void check_shared(std::string_view input, const quarnel::parser::Result<quarnel::ast::PatternExpr>& result) {
    const auto shared = quarnel::parser::parse_shared_pattern(input);
    if (shared.ok() != result.ok()) fail("the shared build accepts differently");
    if (shared.ok() ? !(*shared.value() == result.value()) : shared.error().message() != result.error().message()) {
        fail("the shared build differs");
    }
}

// Building from the whole parse tree, and the checks of an accepted pattern that need it.
void check_whole_tree(std::string_view input, const quarnel::parser::Result<quarnel::ast::PatternExpr>& result) {
    const auto parsed = StixParser::parse(Rule::pattern, input);
    if (!parsed) {
        if (result.ok()) fail("grammar rejects what the builder accepted");
        return;
    }
    const auto built = quarnel::parser::parse_pair(*parsed.value().top_level().begin());
    if (built.ok() != result.ok()) fail("the build from the whole parse tree accepts differently");
    if (built.ok() ? !(built.value() == result.value()) : built.error().message() != result.error().message()) {
        fail("the build from the whole parse tree differs");
    }
    if (result.ok()) {
        check_accepted(input, parsed.value(), result.value());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto result = quarnel::parser::parse_pattern(input);
    check_shared(input, result);
    check_whole_tree(input, result);
    if (result) {
        return 0;
    }
    const ParseError& error = result.error();
    if (std::holds_alternative<ParseError::Grammar>(error.alternative()) ||
        std::holds_alternative<ParseError::NestingTooDeep>(error.alternative())) {
        check_report(input, error.message());
    } else if (error.message().empty()) {
        fail("empty error message");
    }
    return 0;
}
