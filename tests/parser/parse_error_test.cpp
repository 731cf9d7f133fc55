// Error reports word for word, and the limits of nesting depth and input size.
#include "parser/parse_error.hpp"
#include "support/small_stack.hpp"

#include <gtest/gtest.h>

#include <alloca.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/builder.hpp"
#include "parser/nesting_budget.hpp"
#include "parser/stix_parser.hpp"

namespace quarnel::parser {
namespace {

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

template <typename Parsed>
std::string outcome_of(const Result<Parsed>& result) {
    return result.ok() ? std::string("accepted") : result.error().message();
}

std::string outcome(std::string_view input) {
    return outcome_of(StixParser::parse(Rule::pattern, input));
}

// Six report lines, joined as the report joins them.
std::string lines(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view part : parts) {
        if (!out.empty()) {
            out += '\n';
        }
        out += part;
    }
    return out;
}

// --- grammar error reports ---

struct Report {
    std::string input;
    std::string message;
};
void PrintTo(const Report& row, std::ostream* os) {
    *os << testing::PrintToString(row.input);
}

class ParseErrorReport : public testing::TestWithParam<Report> {};

TEST_P(ParseErrorReport, IsWordForWord) {
    EXPECT_EQ(outcome(GetParam().input), GetParam().message);
}

const std::string after_observation = "expected EOI, and, or, followedby, or qualifier";

INSTANTIATE_TEST_SUITE_P(
    OneLine, ParseErrorReport,
    testing::Values(
        Report{"", lines({"Grammar error:  --> 1:1", "  |", "1 | ", "  | ^---", "  |", "  = expected expression"})},
        Report{"[file:name = 'x'", lines({"Grammar error:  --> 1:17", "  |", "1 | [file:name = 'x'",
                                          "  |                 ^---", "  |", "  = expected and or or"})},
        Report{"[file:name = 'x']]",
               lines({"Grammar error:  --> 1:18", "  |", "1 | [file:name = 'x']]", "  |                  ^---", "  |",
                      "  = " + after_observation})},
        Report{"[a:b = ()]", lines({"Grammar error:  --> 1:9", "  |", "1 | [a:b = ()]", "  |         ^---", "  |",
                                    "  = expected value"})},
        Report{"[a:b]", lines({"Grammar error:  --> 1:5", "  |", "1 | [a:b]", "  |     ^---", "  |",
                               "  = expected equal, not_equal, gt, lt, ge, le, in, like, match, issubset, "
                               "issuperset, or not"})},
        Report{"[a:b = 1] WITHIN 5", lines({"Grammar error:  --> 1:18", "  |", "1 | [a:b = 1] WITHIN 5",
                                            "  |                  ^---", "  |", "  = expected pos_float"})},
        // Columns count characters, not bytes.
        Report{"[a:b = '\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x99\x82' x]",
               lines({"Grammar error:  --> 1:14", "  |", "1 | [a:b = '\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x99\x82' x]",
                      "  |              ^---", "  |", "  = expected and or or"})},
        // A cut-off UTF-8 sequence at the position is shown as it stands.
        Report{"[a:b = 1] \xE6\x97", lines({"Grammar error:  --> 1:11", "  |", "1 | [a:b = 1] \xE6\x97",
                                              "  |           ^---", "  |", "  = " + after_observation})},
        // Tabs before the position stay tabs in the underline, so that it lines up.
        Report{"[a:b\t=\t1\tx]", lines({"Grammar error:  --> 1:10", "  |", "1 | [a:b\t=\t1\tx]",
                                         "  |     \t \t \t^---", "  |", "  = expected and or or"})}));

INSTANTIATE_TEST_SUITE_P(
    SeveralLines, ParseErrorReport,
    testing::Values(
        // Line 12 widens the gutter to two characters.
        Report{repeated("[a:b = 1] AND\n", 11) + "[c:d]",
               lines({"Grammar error:   --> 12:5", "   |", "12 | [c:d]", "   |     ^---", "   |",
                      "   = expected equal, not_equal, gt, lt, ge, le, in, like, match, issubset, "
                      "issuperset, or not"})},
        // At a line break the line is shown with its breaks made visible.
        Report{"[a:b = 1]\nAND [c:\nd = 2]", lines({"Grammar error:  --> 2:8", "  |", "2 | AND [c:\u240A",
                                                  "  |        ^---", "  |", "  = expected property"})},
        Report{"[a:b = 1]\r\nAND [c:\r\nd = 2]", lines({"Grammar error:  --> 2:8", "  |", "2 | AND [c:\u240D\u240A",
                                                      "  |        ^---", "  |", "  = expected property"})},
        Report{"[a:\rb = 1]", lines({"Grammar error:  --> 1:4", "  |", "1 | [a:\u240Db = 1]", "  |    ^---", "  |",
                                     "  = expected property"})},
        // Elsewhere the breaks are dropped, and CRLF counts as one break.
        Report{"[a:b = 1]\r\nFOO\r\n[c:d = 2]",
               lines({"Grammar error:  --> 2:1", "  |", "2 | FOO", "  | ^---", "  |", "  = " + after_observation})},
        Report{"[a:b = 1]\n\n  x\n", lines({"Grammar error:  --> 3:3", "  |", "3 |   x", "  |   ^---", "  |",
                                           "  = " + after_observation})},
        // A lone CR is no line break: it takes a column although the display drops it.
        Report{"[a:b = 1]\rX",
               lines({"Grammar error:  --> 1:11", "  |", "1 | [a:b = 1]X", "  |           ^---", "  |",
                      "  = " + after_observation})},
        // The line ends at the end of the input when no line feed follows.
        Report{"[a:b = 1] AND\n[c:d = 2] x", lines({"Grammar error:  --> 2:11", "  |", "2 | [c:d = 2] x",
                                                   "  |           ^---", "  |", "  = " + after_observation})}));

TEST(ParseErrorReport, GivesTheLocationInTheValue) {
    const auto result = StixParser::parse(Rule::pattern, "[a:b = 1]\r\n\xC3\xA9 [x");
    ASSERT_FALSE(result.ok());
    const auto* grammar = std::get_if<ParseError::Grammar>(&result.error().alternative());
    ASSERT_NE(grammar, nullptr) << result.error().message();
    EXPECT_EQ(grammar->error.location.position, 11U);
    EXPECT_EQ(grammar->error.location.line, 2U);
    EXPECT_EQ(grammar->error.location.column, 1U);
    EXPECT_TRUE(grammar->error.unexpected_rules.empty());
    EXPECT_EQ(grammar->error.expected_rules,
              (std::vector<Rule>{Rule::EOI, Rule::and_, Rule::or_, Rule::followedby, Rule::qualifier}));
}

// --- locating a position in any text, malformed UTF-8 included ---

struct Located {
    std::string input;
    std::size_t position;
    std::size_t line;
    std::size_t column;
    std::string source_line;
};
void PrintTo(const Located& row, std::ostream* os) {
    *os << testing::PrintToString(row.input) << " at " << row.position;
}

class SourceLocationLocate : public testing::TestWithParam<Located> {};

TEST_P(SourceLocationLocate, CountsCharactersAndLineBreaks) {
    const Located& row = GetParam();
    const SourceLocation location = SourceLocation::locate(row.input, row.position);
    EXPECT_EQ(location.line, row.line);
    EXPECT_EQ(location.column, row.column);
    EXPECT_EQ(location.source_line, row.source_line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SourceLocationLocate,
    testing::Values(Located{"", 0, 1, 1, ""}, Located{"abc", 3, 1, 4, "abc"},
                    // Stray continuation bytes are a character each.
                    Located{"\x80\x80x", 2, 1, 3, "\x80\x80x"},
                    // A lead byte takes its whole sequence, even a line feed inside it.
                    Located{"\xE6\n[ab", 3, 1, 2, "\xE6[ab"},
                    Located{"\xC3\xA9\xC3\xA9x", 4, 1, 3, "\xC3\xA9\xC3\xA9x"},
                    // A carriage return ends a line only with the line feed after it, and only
                    // once the position is past both.
                    Located{"ab\r\ncd", 2, 1, 3, "ab\u240D\u240A"}, Located{"ab\r\ncd", 3, 1, 4, "ab\u240D\u240A"},
                    Located{"ab\r\ncd", 4, 2, 1, "cd"}, Located{"ab\rcd", 4, 1, 5, "abcd"},
                    Located{"a\n\nb", 2, 2, 1, "\u240A"}, Located{"a\n\n", 3, 3, 1, ""}));

// --- the message line, for lists the grammar itself never produces ---

struct MessageLine {
    std::vector<Rule> expected;
    std::vector<Rule> unexpected;
    std::string line;
};
void PrintTo(const MessageLine& row, std::ostream* os) {
    *os << row.line;
}

class ParseErrorMessageLine : public testing::TestWithParam<MessageLine> {};

TEST_P(ParseErrorMessageLine, NamesTheRules) {
    const GrammarError error{GetParam().expected, GetParam().unexpected, SourceLocation::locate("x", 0)};
    EXPECT_EQ(ParseError(ParseError::Grammar{error}).message(),
              lines({"Grammar error:  --> 1:1", "  |", "1 | x", "  | ^---", "  |", "  = " + GetParam().line}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorMessageLine,
    testing::Values(MessageLine{{}, {}, "unknown parsing error"},
                    MessageLine{{Rule::pos_int}, {}, "expected pos_int"},
                    MessageLine{{Rule::and_, Rule::or_}, {}, "expected and or or"},
                    MessageLine{{Rule::not_, Rule::string_escape, Rule::observation_group}, {},
                                "expected not, string_escape, or observation_group"},
                    MessageLine{{}, {Rule::bool_}, "unexpected bool"},
                    MessageLine{{}, {Rule::in, Rule::like}, "unexpected in or like"},
                    MessageLine{{Rule::value}, {Rule::EOI, Rule::list}, "unexpected EOI or list; expected value"}));

// --- the other errors ---

struct Message {
    ParseError error;
    std::string text;
};
void PrintTo(const Message& row, std::ostream* os) {
    *os << row.text;
}

class ParseErrorMessage : public testing::TestWithParam<Message> {};

TEST_P(ParseErrorMessage, IsTheAlternativesText) {
    EXPECT_EQ(GetParam().error.message(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorMessage,
    testing::Values(
        Message{ParseError::InvalidInteger{IntErrorKind::Empty}, "Invalid integer: cannot parse integer from empty string"},
        Message{ParseError::InvalidInteger{IntErrorKind::InvalidDigit}, "Invalid integer: invalid digit found in string"},
        Message{ParseError::InvalidInteger{IntErrorKind::PosOverflow},
                "Invalid integer: number too large to fit in target type"},
        Message{ParseError::InvalidInteger{IntErrorKind::NegOverflow},
                "Invalid integer: number too small to fit in target type"},
        Message{ParseError::InvalidFloat{FloatErrorKind::Empty}, "Invalid float: cannot parse float from empty string"},
        Message{ParseError::InvalidFloat{FloatErrorKind::Invalid}, "Invalid float: invalid float literal"},
        Message{ParseError::InvalidTimestamp{"yesterday"}, "Invalid timestamp: yesterday"},
        Message{ParseError::InvalidTimestamp{" 2016\n"}, "Invalid timestamp:  2016\n"},
        Message{ParseError::UnexpectedRule{Rule::and_}, "Unexpected rule: and"},
        Message{ParseError::UnexpectedRule{Rule::pos_int}, "Unexpected rule: pos_int"},
        Message{ParseError::UnexpectedRule{Rule::EOI}, "Unexpected rule: EOI"},
        Message{ParseError::UnexpectedRule{Rule::comparison_expression}, "Unexpected rule: comparison_expression"},
        Message{ParseError::MissingElement{"right operand"}, "Missing expected element: right operand"},
        Message{ParseError::MissingElement{"qualifier content"}, "Missing expected element: qualifier content"},
        Message{ParseError::InputTooLarge{5'000'000'000, 4'294'967'295},
                "Input too large: 5000000000 bytes, at most 4294967295 bytes can be parsed"}));

// --- nesting depth ---

// n groups around one observation: n + 1 levels.
std::string groups(std::size_t n, std::string_view observation = "[a:b = 1]") {
    return repeated("(", n) + std::string(observation) + repeated(")", n);
}

// One observation holding n parenthesised comparisons: n + 1 levels.
std::string parenthesised(std::size_t n) {
    return "[" + repeated("(", n) + "a:b = 1" + repeated(")", n) + "]";
}

const std::string too_deep = "more than 256 levels of nested parentheses and brackets";

struct Depth {
    std::string name;
    std::string input;
    std::size_t too_deep_at;  // 0: accepted
};
void PrintTo(const Depth& row, std::ostream* os) {
    *os << row.name;
}

class ParseErrorNesting : public testing::TestWithParam<Depth> {};

TEST_P(ParseErrorNesting, StopsPastTheLimit) {
    const auto result = StixParser::parse(Rule::pattern, GetParam().input);
    if (GetParam().too_deep_at == 0) {
        EXPECT_TRUE(result.ok()) << result.error().message();
        return;
    }
    ASSERT_FALSE(result.ok());
    const auto* deep = std::get_if<ParseError::NestingTooDeep>(&result.error().alternative());
    ASSERT_NE(deep, nullptr) << result.error().message();
    EXPECT_EQ(deep->location.position, GetParam().too_deep_at);
    EXPECT_EQ(deep->limit, 256U);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorNesting,
    testing::Values(
        Depth{"groups at the limit", groups(255), 0}, Depth{"groups past the limit", groups(256), 256},
        Depth{"comparisons at the limit", parenthesised(255), 0},
        Depth{"comparisons past the limit", parenthesised(256), 256},
        Depth{"both at the limit", repeated("(", 128) + parenthesised(127) + repeated(")", 128), 0},
        Depth{"both past the limit", repeated("(", 128) + parenthesised(128) + repeated(")", 128), 256},
        // List parentheses are no nesting level.
        Depth{"list at the limit", groups(255, "[a:b IN (1, 2)]"), 0},
        // Levels are counted on the way in and given back on the way out.
        Depth{"siblings at the limit", groups(253, "([(a:b = 1) AND (c:d = 2)] OR [(e:f = 3)])"), 0},
        Depth{"limit reached twice", groups(255) + " AND " + groups(255), 0},
        Depth{"second operand past the limit", groups(255) + " AND " + groups(256), groups(255).size() + 5 + 256},
        Depth{"on a later line", "[a:b = 1] AND\n" + groups(256), 14 + 256},
        Depth{"unclosed and far too deep", repeated("(", 100'000), 256},
        Depth{"unclosed comparisons", "[" + repeated("(", 100'000), 256}));

// A grammar error before the deep part is reported as such.
TEST(ParseErrorNesting, ShallowErrorComesFirst) {
    EXPECT_EQ(outcome("[a:b = ] AND " + groups(300)).rfind("Grammar error:  --> 1:8\n", 0), 0U);
}

TEST(ParseErrorNesting, ReportsTheFirstBracketPastTheLimit) {
    const std::string input = repeated("(\n", 256) + "[a:b = 1]\n" + repeated(")\n", 256);
    EXPECT_EQ(outcome(input), lines({"Nesting too deep:    --> 257:1", "    |", "257 | [a:b = 1]", "    | ^---",
                                     "    |", "    = " + too_deep}));
}

TEST(ParseErrorNesting, ReportsTheColumnOnOneLine) {
    const std::string input = groups(256);
    EXPECT_EQ(outcome(input), lines({"Nesting too deep:  --> 1:257", "  |", "1 | " + input,
                                     "  | " + std::string(256, ' ') + "^---", "  |", "  = " + too_deep}));
}

// --- stack and time ---

// Runs `task` on a thread with a 1 MiB stack and returns what it returned.
std::string on_small_stack(const std::function<std::string()>& task) {
    std::string result = "thread did not run";
    quarnel::test_support::run_on_stack(quarnel::test_support::one_mebibyte, [&] { result = task(); });
    return result;
}

struct SmallStack {
    std::string name;
    std::string input;
    std::string message_start;  // "accepted", or how the message begins
};
void PrintTo(const SmallStack& row, std::ostream* os) {
    *os << row.name;
}

class ParseErrorSmallStack : public testing::TestWithParam<SmallStack> {};

TEST_P(ParseErrorSmallStack, ParsesAtTheLimit) {
    const std::string message = on_small_stack([&] { return outcome(GetParam().input); });
    EXPECT_EQ(message.substr(0, GetParam().message_start.size()), GetParam().message_start);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorSmallStack,
    testing::Values(SmallStack{"groups", groups(255, "[a:b IN ('x', 'y')] WITHIN 5 SECONDS"), "accepted"},
                    SmallStack{"comparisons", parenthesised(255), "accepted"},
                    SmallStack{"both", repeated("(", 128) + parenthesised(127) + repeated(")", 128), "accepted"},
                    // A failed parse runs the grammar a second time to gather the report.
                    SmallStack{"error in groups", groups(255, "[a:b = ]"), "Grammar error:  --> 1:263"},
                    SmallStack{"error in comparisons", "[" + repeated("(", 255) + "a:b ==", "Grammar error:  --> 1:262"},
                    SmallStack{"past the limit", groups(256), "Nesting too deep:  --> 1:257"}));

// --- the bound shrinks with the stack a thread has ---

struct StackRow {
    std::size_t stack_bytes;
};
void PrintTo(const StackRow& row, std::ostream* os) {
    *os << row.stack_bytes / 1024 << " KiB";
}

class NestingOnThreadStacks : public testing::TestWithParam<StackRow> {};

std::size_t bound_reported(const std::string& message) {
    const std::string before = "more than ";
    const std::size_t at = message.find(before);
    return at == std::string::npos ? 0 : std::stoul(message.substr(at + before.size()));
}

// Depths from 1 to 1000, in groups, in comparisons and in groups of chains, are
// accepted below the thread's bound and reported as too deep past it, naming that bound.
TEST_P(NestingOnThreadStacks, AcceptOrReportTooDeep) {
    std::size_t bound = 0;
    std::vector<std::string> wrong;
    quarnel::test_support::run_on_stack(GetParam().stack_bytes, [&] {
        bound = bound_reported(outcome(repeated("(", 2000)));
        const std::string expected_report = "more than " + std::to_string(bound) + " levels";
        // Every depth around the bounds of these stacks, then a sample up to 1000.
        for (std::size_t depth = 1; depth <= 1000; depth += depth < 300 ? 1 : 37) {
            for (const std::string& input : {groups(depth), parenthesised(depth),
                                             repeated("([a:b = 1] AND ", depth) + "[c:d = 2]" + repeated(")", depth)}) {
                const std::string result = outcome(input);
                const bool fits = depth + 1 <= bound;
                if (fits ? result != "accepted" : result.find(expected_report) == std::string::npos) {
                    wrong.push_back(std::to_string(depth) + ": " + result.substr(0, 60));
                }
            }
        }
    });
    EXPECT_LE(bound, StixParser::max_nesting);
    EXPECT_EQ(wrong, std::vector<std::string>{});
    if (GetParam().stack_bytes >= quarnel::test_support::one_mebibyte) {
        EXPECT_EQ(bound, StixParser::max_nesting);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, NestingOnThreadStacks,
                         testing::Values(StackRow{32 * 1024}, StackRow{64 * 1024}, StackRow{128 * 1024},
                                         StackRow{quarnel::test_support::one_mebibyte}));

TEST(NestingOnThreadStacks, ShrinkWithTheStack) {
    std::vector<std::size_t> bounds;
    for (const std::size_t bytes : {64 * 1024, 128 * 1024, 256 * 1024}) {
        quarnel::test_support::run_on_stack(bytes, [&] { bounds.push_back(StixParser::nesting_bound()); });
    }
    ASSERT_EQ(bounds.size(), 3U);
    EXPECT_LT(bounds[0], bounds[1]);
    EXPECT_LE(bounds[1], bounds[2]);
}

// --- building takes a scratch of nodes on the stack only beside the deepest nesting ---

// Runs `work` with `bytes` more of the stack in use.
[[gnu::noinline]] void with_stack_used(std::size_t bytes, const std::function<void()>& work) {
    auto* const used = static_cast<volatile char*>(alloca(bytes));
    used[0] = 0;
    work();
    used[bytes - 1] = 0;  // keeps the room in use until `work` returns
}

// The most stack a thread may have in use with a parse still taking its scratch.
std::size_t most_used_with_scratch(std::size_t stack_bytes) {
    const auto spares = [](std::size_t used) {
        bool room = false;
        with_stack_used(used, [&] {
            room = full_budget_beside(sizeof(ScratchNodes), StixParser::max_nesting).has_value();
        });
        return room;
    };
    std::size_t low = 64;
    std::size_t high = stack_bytes - 64 * 1024;
    if (!spares(low) || spares(high)) {
        return 0;
    }
    while (high - low > 16) {
        const std::size_t middle = low + (high - low) / 2;
        (spares(middle) ? low : high) = middle;
    }
    return low;
}

struct Builds {
    std::string name;
    std::function<std::string(const std::string&)> outcome;
};
void PrintTo(const Builds& row, std::ostream* os) {
    *os << row.name;
}

template <typename Parse>
std::function<std::string(const std::string&)> built_outcome(Parse parse) {
    return [parse](const std::string& text) { return outcome_of(parse(text)); };
}

class ScratchAtTheCutOff : public testing::TestWithParam<Builds> {};

// Just where a build has room for its scratch and just where it has not, the deepest
// nesting of all still parses and one level more is too deep: the scratch lowers no bound.
TEST_P(ScratchAtTheCutOff, LeavesTheMostLevels) {
    const std::string deepest = groups(StixParser::max_nesting - 1);
    ASSERT_LE(deepest.size() / 4 + 8, scratch_nodes) << "the text must take the scratch";
    quarnel::test_support::run_on_stack(quarnel::test_support::one_mebibyte, [&] {
        const std::size_t cut_off = most_used_with_scratch(quarnel::test_support::one_mebibyte);
        ASSERT_GT(cut_off, 4096U);
        for (std::size_t used = cut_off - 4096; used <= cut_off + 4096; used += 512) {
            with_stack_used(used, [&] {
                EXPECT_EQ(GetParam().outcome(deepest), "accepted") << used;
                EXPECT_NE(GetParam().outcome(groups(StixParser::max_nesting)).find(too_deep), std::string::npos) << used;
            });
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Table, ScratchAtTheCutOff,
                         testing::Values(Builds{"parse_pattern", built_outcome(parse_pattern)},
                                         Builds{"parse_shared_pattern", built_outcome(parse_shared_pattern)}));

// A build that takes its scratch hands the parse the budget the parse would have looked up
// itself: the same levels and the same last guard, on stacks of any size.
TEST(ScratchBudget, IsTheOneTheParseWouldLookUp) {
    using quarnel::test_support::one_mebibyte;
    for (const std::size_t bytes : {std::size_t{64} * 1024, std::size_t{256} * 1024, one_mebibyte}) {
        quarnel::test_support::run_on_stack(bytes, [&] {
            const auto handed = full_budget_beside(sizeof(ScratchNodes), StixParser::max_nesting);
            const NestingBudget own = nesting_budget(StixParser::max_nesting);
            if (handed) {
                EXPECT_EQ(handed->levels, own.levels) << bytes;
                EXPECT_EQ(handed->stack_floor, own.stack_floor) << bytes;
            } else {
                EXPECT_LT(bytes, one_mebibyte) << "a large stack takes the scratch";
            }
        });
    }
}

struct Chain {
    std::string name;
    std::string input;
    Rule container;  // the node holding the chain
    std::size_t children;
};
void PrintTo(const Chain& row, std::ostream* os) {
    *os << row.name;
}

class ParseErrorFlatChain : public testing::TestWithParam<Chain> {};

std::size_t children_of_first(const ParseTree& tree, Rule rule) {
    const auto& flat = tree.flat_nodes();
    for (std::uint32_t i = 0; i < flat.size(); ++i) {
        if (flat[i].rule == rule) {
            const auto children = Node(tree, i).children();
            return static_cast<std::size_t>(std::distance(children.begin(), children.end()));
        }
    }
    return 0;
}

// Long operator chains are iterated, not recursed: they parse on a small stack, in linear
// time. The time limit only catches super-linear work (hours here), not slowness: a
// sanitizer build on a loaded machine needs seconds.
constexpr auto linear_time_limit = std::chrono::seconds(30);

TEST_P(ParseErrorFlatChain, ParsesQuicklyOnASmallStack) {
    const std::string result = on_small_stack([&] {
        const auto start = std::chrono::steady_clock::now();
        const auto parsed = StixParser::parse(Rule::pattern, GetParam().input);
        const auto took = std::chrono::steady_clock::now() - start;
        if (!parsed.ok()) {
            return parsed.error().message().substr(0, 200);
        }
        if (took > linear_time_limit) {
            return "took " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms";
        }
        return std::to_string(children_of_first(parsed.value(), GetParam().container)) + " children";
    });
    EXPECT_EQ(result, std::to_string(GetParam().children) + " children");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrorFlatChain,
    testing::Values(
        Chain{"comparisons", "[" + repeated("a:b = 1 AND ", 199'999) + "a:b = 1]", Rule::observation, 399'999},
        Chain{"observations", repeated("[a:b = 1] AND ", 199'999) + "[a:b = 1]", Rule::expression, 399'999},
        Chain{"qualifiers", "[a:b = 1]" + repeated(" WITHIN 1 SECONDS", 200'000), Rule::observation, 200'001},
        Chain{"list", "[a:b IN (" + repeated("1, ", 199'999) + "1)]", Rule::list, 200'000}));

// A failure at the end of a long chain is found and reported in linear time too.
TEST(ParseErrorFlatChain, ReportsAnErrorAtTheEndQuickly) {
    const std::string input = repeated("[a:b = 1] AND\n", 200'000) + "x";
    const std::string message = on_small_stack([&] {
        const auto start = std::chrono::steady_clock::now();
        std::string text = outcome(input);
        if (std::chrono::steady_clock::now() - start > linear_time_limit) {
            text = "too slow";
        }
        return text;
    });
    EXPECT_EQ(message, lines({"Grammar error:       --> 200001:1", "       |", "200001 | x", "       | ^---", "       |",
                              "       = expected observation or observation_group"}));
}

}  // namespace
}  // namespace quarnel::parser
