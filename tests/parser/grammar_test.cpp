// The grammar alone: which texts it accepts, the exact parse trees and node spans it
// produces, and where it rejects the rest.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>

#include "parser/grammar.hpp"
#include "parser/parse_tree.hpp"
#include "parser/rule.hpp"
#include "parser/stix_parser.hpp"

namespace quarnel::parser {
namespace {

// Leaves whose text is the data; keyword and operator nodes are named only.
bool shows_text(Rule rule) {
    switch (rule) {
        case Rule::bool_: case Rule::hex: case Rule::bin: case Rule::int_: case Rule::pos_int:
        case Rule::float_: case Rule::pos_float: case Rule::string_escape: case Rule::string:
        case Rule::time: case Rule::object: case Rule::property: case Rule::index:
            return true;
        default:
            return false;
    }
}

// `comparisons_as_text` keeps pattern-level rows short: a comparison is shown by its text.
enum class Detail { full, comparisons_as_text };

std::string render(const Node& node, Detail detail);

std::string render(const Node::Children& nodes, Detail detail) {
    std::string out;
    for (const Node node : nodes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += render(node, detail);
    }
    return out;
}

// rule"text"(children), with the text only for data leaves and collapsed comparisons.
std::string render(const Node& node, Detail detail) {
    std::string out(display_name(node.rule()));
    const bool collapsed = detail == Detail::comparisons_as_text && node.rule() == Rule::comparison;
    if (collapsed || shows_text(node.rule())) {
        out.append(1, '"').append(node.text()).append(1, '"');
    }
    if (!collapsed && !node.children().empty()) {
        out.append(1, '(').append(render(node.children(), detail)).append(1, ')');
    }
    return out;
}

// Makes tabs, carriage returns and line feeds visible in test names and traces.
std::string visible(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += c == '\t' ? "<TAB>" : c == '\r' ? "<CR>" : c == '\n' ? "<LF>" : std::string(1, c);
    }
    return out;
}

// The first node in preorder whose rule is one of the two.
std::optional<Node> first_of(const ParseTree& tree, Rule a, Rule b) {
    const auto& flat = tree.flat_nodes();
    for (std::uint32_t i = 0; i < flat.size(); ++i) {
        if (flat[i].rule == a || flat[i].rule == b) {
            return Node(tree, i);
        }
    }
    return std::nullopt;
}

struct Shape {
    std::string input;
    std::string tree;
};
void PrintTo(const Shape& row, std::ostream* os) {
    *os << visible(row.input);
}

// --- constants, each as the right-hand side of `[a:b = ...]` ---

class GrammarValue : public testing::TestWithParam<Shape> {};

TEST_P(GrammarValue, GivesTheNodes) {
    const std::string input = "[a:b = " + GetParam().input + "]";
    const auto result = StixParser::parse(Rule::pattern, input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    const auto rhs = first_of(result.value(), Rule::value, Rule::list);
    ASSERT_TRUE(rhs.has_value());
    EXPECT_EQ(render(*rhs, Detail::full), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, GrammarValue,
    testing::Values(Shape{"-12", R"(value(int"-12"))"}, Shape{"007", R"(value(int"007"))"},
                    Shape{"15", R"(value(int"15"))"}, Shape{"1.5", R"(value(float"1.5"))"},
                    Shape{"-0.5", R"(value(float"-0.5"))"},
                    Shape{"99999999999999999999999", R"(value(int"99999999999999999999999"))"}));

INSTANTIATE_TEST_SUITE_P(
    BoolsAndBinary, GrammarValue,
    testing::Values(Shape{"true", R"(value(bool"true"))"}, Shape{"false", R"(value(bool"false"))"},
                    Shape{"h'0aF'", R"(value(hex"0aF"))"}, Shape{"h'abc'", R"(value(hex"abc"))"},
                    Shape{"h 'ab'", R"(value(hex"ab"))"}, Shape{"h' ab '", R"(value(hex"ab"))"},
                    Shape{"b'AAEC/+=='", R"(value(bin"AAEC/+=="))"},
                    Shape{"b'a=b'", R"(value(bin"a=b"))"}));

INSTANTIATE_TEST_SUITE_P(
    Times, GrammarValue,
    testing::Values(Shape{"t'2016-01-01T00:00:00Z'", R"(value(time"2016-01-01T00:00:00Z"))"},
                    Shape{"t'2016-01-01T00:00:00.123Z'", R"(value(time"2016-01-01T00:00:00.123Z"))"},
                    Shape{"t'2016-01-01T00:00:00+01:00'", R"(value(time"2016-01-01T00:00:00+01:00"))"},
                    Shape{"t'2016-01-01T00:00:00-01:00'", R"(value(time"2016-01-01T00:00:00-01:00"))"},
                    Shape{"t '2016-01-01T00:00:00Z'", R"(value(time"2016-01-01T00:00:00Z"))"},
                    Shape{"t' 2016-01-01T00:00:00Z '", R"(value(time"2016-01-01T00:00:00Z"))"},
                    Shape{"t'yesterday'", R"(value(time"yesterday"))"}));

// A string keeps every character between its quotes, and each backslash pair is an escape.
INSTANTIATE_TEST_SUITE_P(
    Strings, GrammarValue,
    testing::Values(Shape{"''", R"(value(string""))"}, Shape{"' '", R"(value(string" "))"},
                    Shape{"' a b '", R"(value(string" a b "))"},
                    Shape{"'  two  '", R"(value(string"  two  "))"},
                    Shape{R"('it\'s')", R"(value(string"it\'s"(string_escape"\'")))"},
                    Shape{R"('\tx\ty\t')",
                          R"(value(string"\tx\ty\t"(string_escape"\t" string_escape"\t" string_escape"\t")))"},
                    Shape{R"('\r\n')", R"(value(string"\r\n"(string_escape"\r" string_escape"\n")))"},
                    Shape{R"('a\\')", R"(value(string"a\\"(string_escape"\\")))"},
                    Shape{R"('\'')", R"(value(string"\'"(string_escape"\'")))"},
                    Shape{"'\t'", "value(string\"\t\")"},
                    Shape{"'line\nbreak'", "value(string\"line\nbreak\")"},
                    Shape{"'h\xC3\xA9 \xF0\x9F\x99\x82'", "value(string\"h\xC3\xA9 \xF0\x9F\x99\x82\")"},
                    Shape{R"('\é')", R"(value(string"\é"(string_escape"\é")))"},
                    Shape{"'AND'", R"(value(string"AND"))"}, Shape{"'['", R"(value(string"["))"}));

INSTANTIATE_TEST_SUITE_P(
    Lists, GrammarValue,
    testing::Values(Shape{"(1)", R"(list(value(int"1")))"},
                    Shape{"( 1 , 'x' , true )", R"(list(value(int"1") value(string"x") value(bool"true")))"},
                    Shape{"(1,'x',true)", R"(list(value(int"1") value(string"x") value(bool"true")))"},
                    Shape{"( ' a ' )", R"(list(value(string" a ")))"},
                    Shape{"(h'ff', -2.5, t'2016-01-01T00:00:00Z')",
                          R"(list(value(hex"ff") value(float"-2.5") value(time"2016-01-01T00:00:00Z")))"}));

// --- comparisons and object paths: the children of the observation ---

class GrammarComparison : public testing::TestWithParam<Shape> {};

TEST_P(GrammarComparison, GivesTheNodes) {
    const auto result = StixParser::parse(Rule::pattern, GetParam().input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    const auto observation = first_of(result.value(), Rule::observation, Rule::observation);
    ASSERT_TRUE(observation.has_value());
    EXPECT_EQ(render(observation->children(), Detail::full), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, GrammarComparison,
    testing::Values(
        Shape{"[file:name = 'x']", R"(comparison(path(object"file" step(property"name")) equal value(string"x")))"},
        Shape{"[file:name='x']", R"(comparison(path(object"file" step(property"name")) equal value(string"x")))"},
        Shape{"[file:hashes.'SHA-256' = 'ab']",
              R"(comparison(path(object"file" step(property"hashes") step(property"'SHA-256'")) equal value(string"ab")))"},
        Shape{"[a:'b.c' = 1]", R"(comparison(path(object"a" step(property"'b.c'")) equal value(int"1")))"},
        Shape{"[email-message:to_refs[*].value = 'x']",
              R"(comparison(path(object"email-message" step(property"to_refs" index"*") step(property"value")) equal value(string"x")))"},
        Shape{"[a:b[007] = 1]", R"(comparison(path(object"a" step(property"b" index"007")) equal value(int"1")))"},
        Shape{"[a:b[1].c[2] = 1]",
              R"(comparison(path(object"a" step(property"b" index"1") step(property"c" index"2")) equal value(int"1")))"},
        Shape{"[123:456 = 1]", R"(comparison(path(object"123" step(property"456")) equal value(int"1")))"},
        Shape{"[-x:y = 1]", R"(comparison(path(object"-x" step(property"y")) equal value(int"1")))"},
        Shape{"[x:_y_ = 1]", R"(comparison(path(object"x" step(property"_y_")) equal value(int"1")))"},
        Shape{"[EXISTS:name = 1]", R"(comparison(path(object"EXISTS" step(property"name")) equal value(int"1")))"}));

INSTANTIATE_TEST_SUITE_P(
    Operators, GrammarComparison,
    testing::Values(
        Shape{"[a:b != 5]", R"(comparison(path(object"a" step(property"b")) not_equal value(int"5")))"},
        Shape{"[a:b > 5]", R"(comparison(path(object"a" step(property"b")) gt value(int"5")))"},
        Shape{"[a:b < 5]", R"(comparison(path(object"a" step(property"b")) lt value(int"5")))"},
        Shape{"[a:b >= 5]", R"(comparison(path(object"a" step(property"b")) ge value(int"5")))"},
        Shape{"[a:b <= 5]", R"(comparison(path(object"a" step(property"b")) le value(int"5")))"},
        Shape{"[a:b LIKE 'x%']", R"(comparison(path(object"a" step(property"b")) like value(string"x%")))"},
        Shape{"[a:b MATCHES '^x']", R"(comparison(path(object"a" step(property"b")) match value(string"^x")))"},
        Shape{"[a:b ISSUBSET'10.0.0.0/8']",
              R"(comparison(path(object"a" step(property"b")) issubset value(string"10.0.0.0/8")))"},
        Shape{"[a:b ISSUPERSET '10.0.0.1']",
              R"(comparison(path(object"a" step(property"b")) issuperset value(string"10.0.0.1")))"},
        Shape{"[a:b IN ('x', 'y')]",
              R"(comparison(path(object"a" step(property"b")) in list(value(string"x") value(string"y"))))"},
        Shape{"[a:b IN('x')]", R"(comparison(path(object"a" step(property"b")) in list(value(string"x"))))"},
        Shape{"[a:b IN 'x']", R"(comparison(path(object"a" step(property"b")) in value(string"x")))"},
        Shape{"[a:b = ('x', 'y')]",
              R"(comparison(path(object"a" step(property"b")) equal list(value(string"x") value(string"y"))))"},
        Shape{"[a:b NOT = 1]", R"(comparison(path(object"a" step(property"b")) not equal value(int"1")))"},
        Shape{"[a:b NOTIN ('x')]", R"(comparison(path(object"a" step(property"b")) not in list(value(string"x"))))"},
        Shape{"[a:b NOT LIKE 'x']", R"(comparison(path(object"a" step(property"b")) not like value(string"x")))"},
        Shape{"[EXISTS a:b]", R"(comparison(exists path(object"a" step(property"b"))))"},
        Shape{"[EXISTSa:b]", R"(comparison(exists path(object"a" step(property"b"))))"}));

INSTANTIATE_TEST_SUITE_P(
    Combined, GrammarComparison,
    testing::Values(
        Shape{"[a:b = 1 AND c:d = 2 OR e:f = 3]",
              R"(comparison(path(object"a" step(property"b")) equal value(int"1")) and )"
              R"(comparison(path(object"c" step(property"d")) equal value(int"2")) or )"
              R"(comparison(path(object"e" step(property"f")) equal value(int"3")))"},
        Shape{"[(a:b = 1 OR c:d = 2) AND e:f = 3]",
              R"(comparison(comparison(path(object"a" step(property"b")) equal value(int"1")) or )"
              R"(comparison(path(object"c" step(property"d")) equal value(int"2"))) and )"
              R"(comparison(path(object"e" step(property"f")) equal value(int"3")))"},
        Shape{"[( a:b = 1 )]", R"(comparison(comparison(path(object"a" step(property"b")) equal value(int"1"))))"},
        Shape{"[((a:b = 1))]",
              R"(comparison(comparison(comparison(path(object"a" step(property"b")) equal value(int"1")))))"},
        Shape{"[ a:b = 1 ]", R"(comparison(path(object"a" step(property"b")) equal value(int"1")))"},
        Shape{"[a:b=1AND c:d=2]",
              R"(comparison(path(object"a" step(property"b")) equal value(int"1")) and )"
              R"(comparison(path(object"c" step(property"d")) equal value(int"2")))"},
        Shape{"[EXISTS a:b OR NOT:c NOT = 2]",
              R"(comparison(exists path(object"a" step(property"b"))) or )"
              R"(comparison(path(object"NOT" step(property"c")) not equal value(int"2")))"}));

// --- observations, groups and qualifiers: the whole tree, comparisons by their text ---

class GrammarPattern : public testing::TestWithParam<Shape> {};

TEST_P(GrammarPattern, GivesTheTree) {
    const auto result = StixParser::parse(Rule::pattern, GetParam().input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(render(result.value().top_level(), Detail::comparisons_as_text), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, GrammarPattern,
    testing::Values(
        Shape{"[a:b = 1]", R"(pattern(expression(observation(comparison"a:b = 1")) EOI))"},
        Shape{"  [a:b = 1]  ", R"(pattern(expression(observation(comparison"a:b = 1")) EOI))"},
        Shape{"[a:b = 1] AND [c:d = 2] OR [e:f = 3] FOLLOWEDBY [g:h = 4]",
              R"(pattern(expression(observation(comparison"a:b = 1") and observation(comparison"c:d = 2") )"
              R"(or observation(comparison"e:f = 3") followedby observation(comparison"g:h = 4")) EOI))"},
        Shape{"[a:b=1]AND[c:d=2]",
              R"(pattern(expression(observation(comparison"a:b=1") and observation(comparison"c:d=2")) EOI))"},
        Shape{"([a:b = 1] OR [c:d = 2]) AND [e:f = 3]",
              R"(pattern(expression(observation_group(expression(observation(comparison"a:b = 1") or )"
              R"(observation(comparison"c:d = 2"))) and observation(comparison"e:f = 3")) EOI))"},
        Shape{"(([a:b = 1]))",
              R"(pattern(expression(observation_group(expression(observation_group(expression()"
              R"(observation(comparison"a:b = 1")))))) EOI))"},
        Shape{"( [a:b = 1] )",
              R"(pattern(expression(observation_group(expression(observation(comparison"a:b = 1")))) EOI))"}));

INSTANTIATE_TEST_SUITE_P(
    Qualifiers, GrammarPattern,
    testing::Values(
        Shape{"[a:b = 1] WITHIN 5 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(within(pos_int"5")))) EOI))"},
        Shape{"[a:b = 1] WITHIN 2.5 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(within(pos_float"2.5")))) EOI))"},
        Shape{"[a:b = 1]WITHIN 5SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(within(pos_int"5")))) EOI))"},
        Shape{"[a:b = 1] WITHIN 007 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(within(pos_int"007")))) EOI))"},
        Shape{"[a:b = 1] REPEATS 3 TIMES WITHIN 10 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(repeat(pos_int"3")) )"
              R"(qualifier(within(pos_int"10")))) EOI))"},
        Shape{"[a:b = 1] WITHIN 5 SECONDS WITHIN 6 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(within(pos_int"5")) )"
              R"(qualifier(within(pos_int"6")))) EOI))"},
        Shape{"[a:b = 1] START t'2016-06-01T00:00:00Z' STOP t'2016-07-01T00:00:00Z'",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(interval()"
              R"(time"2016-06-01T00:00:00Z" time"2016-07-01T00:00:00Z")))) EOI))"},
        Shape{"[a:b = 1] START t '2016-06-01T00:00:00.5Z'STOP t' 2016-07-01T00:00:00+02:00 '",
              R"(pattern(expression(observation(comparison"a:b = 1" qualifier(interval()"
              R"(time"2016-06-01T00:00:00.5Z" time"2016-07-01T00:00:00+02:00")))) EOI))"},
        Shape{"([a:b = 1] AND [c:d = 2]) WITHIN 5 SECONDS",
              R"(pattern(expression(observation_group(expression(observation(comparison"a:b = 1") and )"
              R"(observation(comparison"c:d = 2")) qualifier(within(pos_int"5")))) EOI))"},
        Shape{"[a:b = 1] AND [c:d = 2] WITHIN 5 SECONDS",
              R"(pattern(expression(observation(comparison"a:b = 1") and )"
              R"(observation(comparison"c:d = 2" qualifier(within(pos_int"5")))) EOI))"},
        Shape{"([a:b = 1] WITHIN 5 SECONDS AND [c:d = 2])",
              R"(pattern(expression(observation_group(expression(observation(comparison"a:b = 1" )"
              R"(qualifier(within(pos_int"5"))) and observation(comparison"c:d = 2")))) EOI))"}));

// Real tabs and line breaks separate tokens as spaces do, and so do the two-character
// sequences backslash-t, -r and -n.
INSTANTIATE_TEST_SUITE_P(
    LineBreaksAndTabs, GrammarPattern,
    testing::Values(
        Shape{"[a:b = 1]\n", R"(pattern(expression(observation(comparison"a:b = 1")) EOI))"},
        Shape{"\r\n\t[a:b = 1]\r\n", R"(pattern(expression(observation(comparison"a:b = 1")) EOI))"},
        Shape{"[a:b\t=\t1]", "pattern(expression(observation(comparison\"a:b\t=\t1\")) EOI)"},
        Shape{"[a:b = 1\n    AND c:d = 2]\nWITHIN\n5\nSECONDS",
              "pattern(expression(observation(comparison\"a:b = 1\" and comparison\"c:d = 2\" "
              "qualifier(within(pos_int\"5\")))) EOI)"},
        Shape{"(\r\n  [a:b = 1]\r\n  FOLLOWEDBY\r\n  [c:d = 2]\r\n)\r\n",
              R"(pattern(expression(observation_group(expression(observation(comparison"a:b = 1") )"
              R"(followedby observation(comparison"c:d = 2")))) EOI))"},
        Shape{"[a:b = 1]\rOR\r[c:d = 2]",
              R"(pattern(expression(observation(comparison"a:b = 1") or observation(comparison"c:d = 2")) EOI))"},
        Shape{R"([a:b = 1]\nAND\t[c:d = 2]\r)",
              R"(pattern(expression(observation(comparison"a:b = 1") and observation(comparison"c:d = 2")) EOI))"},
        Shape{R"([a:b\n=\r1])", R"(pattern(expression(observation(comparison"a:b\n=\r1")) EOI))"},
        Shape{"[a:b = 1]\\n \n\\t\t", R"(pattern(expression(observation(comparison"a:b = 1")) EOI))"}));

// --- rejected texts, with the byte offset that the report points at ---

struct Rejection {
    std::string input;
    std::size_t position;
};
void PrintTo(const Rejection& row, std::ostream* os) {
    *os << visible(row.input);
}

class GrammarRejection : public testing::TestWithParam<Rejection> {};

TEST_P(GrammarRejection, AtThePosition) {
    const auto result = StixParser::parse(Rule::pattern, GetParam().input);
    ASSERT_FALSE(result.ok()) << render(result.value().top_level(), Detail::full);
    const auto* grammar = std::get_if<ParseError::Grammar>(&result.error().alternative());
    ASSERT_NE(grammar, nullptr) << result.error().message();
    EXPECT_EQ(grammar->error.location.position, GetParam().position) << result.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Values, GrammarRejection,
    testing::Values(Rejection{"[a:b = +12]", 7}, Rejection{"[a:b = .5]", 7}, Rejection{"[a:b = 1.]", 8},
                    Rejection{"[a:b = 1e5]", 8}, Rejection{"[a:b = -]", 7}, Rejection{"[a:b = --1]", 7},
                    Rejection{"[a:b = TRUE]", 7}, Rejection{"[a:b = True]", 7},
                    Rejection{"[a:b = h'0G']", 7}, Rejection{"[a:b = h'']", 9},
                    Rejection{"[a:b = H'00']", 7}, Rejection{"[a:b = B'AA']", 7},
                    Rejection{"[a:b = T'2016-01-01T00:00:00Z']", 7}, Rejection{"[a:b = b'']", 9},
                    Rejection{"[a:b = b'a b']", 7}, Rejection{"[a:b = t'']", 9},
                    Rejection{"[a:b = t'2016-01-01 00:00:00Z']", 7}, Rejection{"[a:b = 'abc]", 12},
                    Rejection{R"([a:b = 'abc\'])", 14}, Rejection{"[a:b = 'a''b']", 10},
                    Rejection{"[a:b = ()]", 8}, Rejection{"[a:b = (1,)]", 10},
                    Rejection{"[a:b = (1 2)]", 8}, Rejection{"[a:b = ((1))]", 8},
                    // Bytes that are no UTF-8 character end a string.
                    Rejection{"[a:b = '\xFF']", 8}, Rejection{"[a:b = 'x\xE6\x97']", 9}));

INSTANTIATE_TEST_SUITE_P(
    Comparisons, GrammarRejection,
    testing::Values(
        Rejection{"[file:hashes.'SHA_256' = 'ab']", 13}, Rejection{"[a:'b c' = 1]", 3},
        Rejection{"[a:'' = 1]", 3}, Rejection{"[a:b[-1] = 1]", 5}, Rejection{"[a:b[1][2] = 1]", 7},
        Rejection{"[a:b[ 1 ] = 1]", 5}, Rejection{"[a:b[] = 1]", 5}, Rejection{"[file : name = 'x']", 1},
        Rejection{"[file:name [0] = 1]", 11}, Rejection{"[file\t:name = 'x']", 1},
        Rejection{"[file:\nname = 'x']", 6}, Rejection{"[a:b.\tc = 1]", 5}, Rejection{"[_x:name = 1]", 1},
        Rejection{"[a:b-c = 1]", 4}, Rejection{"[a: = 1]", 3}, Rejection{"[:b = 1]", 1},
        Rejection{"[a:b. = 1]", 5}, Rejection{"[a = 1]", 1}, Rejection{"[a:b == 5]", 6},
        Rejection{"[a:b =< 5]", 6}, Rejection{"[a:b NOT NOT = 1]", 9}, Rejection{"[NOT a:b = 1]", 1},
        Rejection{"[a:b NOT EXISTS]", 9}, Rejection{"[EXISTS a:b = 1]", 12},
        Rejection{"[a:b in ('x')]", 5}, Rejection{"[a:b = 1 and c:d = 2]", 9},
        Rejection{"[a:b IN ()]", 9}, Rejection{"[()]", 2}, Rejection{"[]", 1},
        Rejection{"[a:b = 1 AND]", 12}, Rejection{"[a:b = 1 AND c:d]", 16},
        Rejection{"[a:b = 1 FOLLOWEDBY c:d = 2]", 9}, Rejection{"[(a:b = 1]", 9},
        Rejection{"[a:b = 1)]", 8}, Rejection{"[a:b = 1", 8}));

INSTANTIATE_TEST_SUITE_P(
    Patterns, GrammarRejection,
    testing::Values(
        Rejection{"", 0}, Rejection{"   ", 3}, Rejection{"\n\t\r\n", 4}, Rejection{"()", 1},
        Rejection{"([a:b = 1]", 10}, Rejection{"[a:b = 1])", 9}, Rejection{"[a:b = 1] AND", 13},
        Rejection{"AND [a:b = 1]", 0}, Rejection{"[a:b = 1] [c:d = 2]", 10},
        Rejection{"NOT [a:b = 1]", 0}, Rejection{"[a:b = 1] FOLLOWED BY [c:d = 2]", 10},
        Rejection{"[a:b = 1] and [c:d = 2]", 10}, Rejection{"[a:b = 1] WITHIN -5 SECONDS", 17},
        Rejection{"[a:b = 1] WITHIN 5 seconds", 17}, Rejection{"[a:b = 1] WITHIN 5", 17},
        Rejection{"[a:b = 1] WITHIN .5 SECONDS", 17}, Rejection{"[a:b = 1] REPEATS 2.5 TIMES", 10},
        Rejection{"[a:b = 1] REPEATS -1 TIMES", 18},
        Rejection{"[a:b = 1] STOP t'2016-07-01T00:00:00Z' START t'2016-06-01T00:00:00Z'", 10},
        Rejection{"[a:b = 1] START t'2016-06-01T00:00:00Z'", 10},
        Rejection{"[a:b = 1] START t'' STOP t'2016-07-01T00:00:00Z'", 18},
        Rejection{"[a:b = 1] START '2016-06-01T00:00:00Z' STOP t'2016-07-01T00:00:00Z'", 10},
        Rejection{"[a:b = 1] x", 10}, Rejection{"[a:b = 1] WITHIN 5 SECONDS x", 27},
        Rejection{"[a:b = 1]\v", 9}, Rejection{"[a:b = 1]\f", 9}, Rejection{"[a:b = 1]\xC2\xA0", 9},
        Rejection{"[a:b =\\ 1]", 6}, Rejection{"[a:b = 1]\\x", 9}, Rejection{"[a:b = 1]\\", 9},
        Rejection{"[a:b = 1] A\nND [c:d = 2]", 10}));

// --- node spans: every node of one rule, in preorder, as begin-end byte offsets ---

struct Spans {
    std::string input;
    Rule rule;
    std::string spans;
};
void PrintTo(const Spans& row, std::ostream* os) {
    *os << display_name(row.rule) << " in " << visible(row.input);
}

std::string spans_of(const ParseTree& tree, Rule rule) {
    std::string out;
    const auto& flat = tree.flat_nodes();
    for (std::uint32_t i = 0; i < flat.size(); ++i) {
        if (flat[i].rule == rule) {
            const Node node(tree, i);
            if (!out.empty()) {
                out += ' ';
            }
            out.append(std::to_string(node.begin())).append(1, '-').append(std::to_string(node.end()));
        }
    }
    return out;
}

class GrammarSpan : public testing::TestWithParam<Spans> {};

TEST_P(GrammarSpan, CoversTheBytes) {
    const auto result = StixParser::parse(Rule::pattern, GetParam().input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(spans_of(result.value(), GetParam().rule), GetParam().spans);
}

// The node's text must be its span of the input; checked once over a pattern with
// every kind of node.
TEST(GrammarSpan, TextIsTheSpannedInput) {
    const std::string input =
        "([a:b[0].'c-d' NOT IN (1, 'x\\'y') OR EXISTS e:f] REPEATS 2 TIMES) FOLLOWEDBY "
        "[g:h = h'ff'] START t'2016-01-01T00:00:00Z' STOP t'2016-01-02T00:00:00Z' ";
    const auto result = StixParser::parse(Rule::pattern, input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    const auto& flat = result.value().flat_nodes();
    for (std::uint32_t i = 0; i < flat.size(); ++i) {
        const Node node(result.value(), i);
        ASSERT_LE(node.begin(), node.end());
        EXPECT_EQ(node.text(), std::string_view(input).substr(node.begin(), node.end() - node.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    TrailingWhitespace, GrammarSpan,
    testing::Values(
        // Without qualifiers or operators, a node keeps the whitespace after its end.
        Spans{"[a:b = 1]  ", Rule::pattern, "0-11"}, Spans{"[a:b = 1]  ", Rule::expression, "0-11"},
        Spans{"[a:b = 1]  ", Rule::observation, "0-11"}, Spans{"[a:b = 1]  ", Rule::comparison, "1-8"},
        Spans{"[a:b = 1]  ", Rule::EOI, "11-11"}, Spans{"  [a:b = 1]  ", Rule::pattern, "0-13"},
        Spans{"  [a:b = 1]  ", Rule::expression, "2-13"}, Spans{"[a:b = 1]\n\t", Rule::observation, "0-11"},
        Spans{"[a:b = 1]\\n", Rule::observation, "0-11"},
        // A qualifier ends the observation; the expression keeps the trailing space.
        Spans{"[a:b = 1] WITHIN 5 SECONDS  ", Rule::observation, "0-26"},
        Spans{"[a:b = 1] WITHIN 5 SECONDS  ", Rule::expression, "0-28"},
        Spans{"[a:b = 1] WITHIN 5 SECONDS  ", Rule::qualifier, "10-26"},
        Spans{"[a:b = 1] WITHIN 5 SECONDS REPEATS 2 TIMES ", Rule::observation, "0-42"},
        Spans{"[a:b = 1] WITHIN 5 SECONDS REPEATS 2 TIMES ", Rule::qualifier, "10-26 27-42"},
        // With operators the expression ends at its last operand.
        Spans{"[a:b = 1] AND [c:d = 2] WITHIN 5 SECONDS  ", Rule::expression, "0-40"},
        Spans{"[a:b = 1] AND [c:d = 2] WITHIN 5 SECONDS  ", Rule::observation, "0-10 14-40"},
        Spans{"[a:b = 1] AND [c:d = 2]  ", Rule::expression, "0-25"},
        Spans{"[a:b = 1] AND [c:d = 2]  ", Rule::and_, "10-13"},
        Spans{"([a:b = 1])  ", Rule::observation_group, "0-13"},
        Spans{"([a:b = 1])  ", Rule::observation, "1-10"},
        Spans{"( [a:b = 1] ) WITHIN 5 SECONDS ", Rule::observation_group, "0-30"},
        Spans{"( [a:b = 1] ) WITHIN 5 SECONDS ", Rule::expression, "0-31 2-12"},
        Spans{"( [a:b = 1] AND [c:d = 2] WITHIN 1 SECONDS )", Rule::expression, "0-44 2-42"}));

INSTANTIATE_TEST_SUITE_P(
    InsideObservations, GrammarSpan,
    testing::Values(
        Spans{"[ a:b = 1 ]", Rule::comparison, "2-9"},
        Spans{"[ ( a:b = 1 ) ]", Rule::comparison, "2-13 4-11"},
        Spans{"[a:b = 1 AND c:d = 2 ]", Rule::comparison, "1-8 13-20"},
        Spans{"[a:b NOT = 1]", Rule::not_, "5-8"}, Spans{"[a:b[1].c = 1]", Rule::step, "3-7 8-9"},
        Spans{"[a:b[1].c = 1]", Rule::path, "1-9"}, Spans{"[a:b[1].c = 1]", Rule::index, "5-6"},
        Spans{"[a:b = ' x ']", Rule::value, "7-12"}, Spans{"[a:b = ' x ']", Rule::string, "8-11"},
        Spans{"[a:b = '']", Rule::string, "8-8"}, Spans{"[a:b = t ' 1 ']", Rule::time, "11-12"},
        Spans{"[a:b IN ( 1 , 2 ) ]", Rule::list, "8-17"},
        Spans{"[a:b = 1] START t'1' STOP t'2'", Rule::interval, "10-30"}));

// --- start rules other than pattern ---

struct StartShape {
    Rule start;
    std::string input;
    std::string tree;
};
void PrintTo(const StartShape& row, std::ostream* os) {
    *os << display_name(row.start) << ": " << visible(row.input);
}

class GrammarStartRule : public testing::TestWithParam<StartShape> {};

TEST_P(GrammarStartRule, GivesTheTopLevelNodes) {
    const auto result = StixParser::parse(GetParam().start, GetParam().input);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(render(result.value().top_level(), Detail::full), GetParam().tree);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarStartRule,
    testing::Values(
        StartShape{Rule::value, "-12", R"(value(int"-12"))"},
        StartShape{Rule::value, "' a '", R"(value(string" a "))"},
        StartShape{Rule::int_, "007", R"(int"007")"}, StartShape{Rule::float_, "-0.5", R"(float"-0.5")"},
        StartShape{Rule::list, "( 1 ,2 )", R"(list(value(int"1") value(int"2")))"},
        StartShape{Rule::path, "a:b[0].'c-d'",
                   R"(path(object"a" step(property"b" index"0") step(property"'c-d'")))"},
        StartShape{Rule::property, "'SHA-256'", R"(property"'SHA-256'")"},
        StartShape{Rule::comparison, "a:b = 1", R"(comparison(path(object"a" step(property"b")) equal value(int"1")))"},
        StartShape{Rule::comparison, "(EXISTS a:b)", R"(comparison(comparison(exists path(object"a" step(property"b")))))"},
        // Silent start rules contribute only the nodes of the rules they call.
        StartShape{Rule::string_constant, "' a '", R"(string" a ")"},
        StartShape{Rule::time_constant, "t'2016-01-01T00:00:00Z'", R"(time"2016-01-01T00:00:00Z")"},
        StartShape{Rule::comparison_expression, "a:b = 1 OR EXISTS c:d",
                   R"(comparison(path(object"a" step(property"b")) equal value(int"1")) or )"
                   R"(comparison(exists path(object"c" step(property"d"))))"},
        StartShape{Rule::obs_op, "FOLLOWEDBY", "followedby"}, StartShape{Rule::WHITESPACE, "\t", ""},
        StartShape{Rule::qualifier, "REPEATS 2 TIMES", R"(qualifier(repeat(pos_int"2")))"},
        StartShape{Rule::observation, "[a:b = 1] WITHIN 1.5 SECONDS",
                   R"(observation(comparison(path(object"a" step(property"b")) equal value(int"1")) )"
                   R"(qualifier(within(pos_float"1.5"))))"},
        StartShape{Rule::expression, "[a:b = 1] OR [c:d = 2]",
                   R"(expression(observation(comparison(path(object"a" step(property"b")) equal value(int"1"))) or )"
                   R"(observation(comparison(path(object"c" step(property"d")) equal value(int"2")))))"},
        StartShape{Rule::EOI, "", "EOI"}));

// Only `pattern` ends in EOI; any other start rule may match a prefix of the input.
TEST(GrammarStartRule, OnlyPatternDemandsTheEndOfInput) {
    const auto value = StixParser::parse(Rule::value, "1x");
    ASSERT_TRUE(value.ok()) << value.error().message();
    EXPECT_EQ(render(value.value().top_level(), Detail::full), R"(value(int"1"))");
    const auto expression = StixParser::parse(Rule::expression, "[a:b = 1] x");
    ASSERT_TRUE(expression.ok()) << expression.error().message();
    EXPECT_EQ(render(expression.value().top_level(), Detail::comparisons_as_text),
              R"(expression(observation(comparison"a:b = 1")))");
}

// Nesting past the limit fails the rules that meet it; a start rule that may match a
// prefix still matches the one before them.
TEST(GrammarStartRule, MatchesThePrefixBeforeNestingPastTheLimit) {
    const std::string input = "[a:b = 1] AND " + std::string(StixParser::max_nesting + 1, '(') + "[c:d = 2]";
    const auto expression = StixParser::parse(Rule::expression, input);
    ASSERT_TRUE(expression.ok()) << expression.error().message();
    EXPECT_EQ(render(expression.value().top_level(), Detail::comparisons_as_text),
              R"(expression(observation(comparison"a:b = 1")))");
    const auto pattern = StixParser::parse(Rule::pattern, input);
    ASSERT_FALSE(pattern.ok());
    EXPECT_TRUE(std::holds_alternative<ParseError::NestingTooDeep>(pattern.error().alternative()))
        << pattern.error().message();
}

struct StartRejection {
    Rule start;
    std::string input;
};
void PrintTo(const StartRejection& row, std::ostream* os) {
    *os << display_name(row.start) << ": " << visible(row.input);
}

class GrammarStartRuleRejection : public testing::TestWithParam<StartRejection> {};

TEST_P(GrammarStartRuleRejection, IsAGrammarError) {
    const auto result = StixParser::parse(GetParam().start, GetParam().input);
    ASSERT_FALSE(result.ok()) << render(result.value().top_level(), Detail::full);
    EXPECT_TRUE(std::holds_alternative<ParseError::Grammar>(result.error().alternative()))
        << result.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarStartRuleRejection,
    testing::Values(StartRejection{Rule::value, "+12"}, StartRejection{Rule::value, ""},
                    StartRejection{Rule::value, " 1"}, StartRejection{Rule::pos_int, "-1"},
                    StartRejection{Rule::path, "a : b"}, StartRejection{Rule::list, "()"},
                    StartRejection{Rule::comparison, "a:b"}, StartRejection{Rule::EOI, "x"},
                    StartRejection{Rule::qualifier, "WITHIN 5"}, StartRejection{Rule::pattern, "a:b = 1"}));


// Runs of a character class are consumed many bytes at a time: a run must end exactly
// at the first byte outside the class, whatever that byte is and wherever it falls.
struct ClassRun {
    Rule start;
    bool (*in_class)(unsigned char);
};
void PrintTo(const ClassRun& row, std::ostream* os) { *os << display_name(row.start); }

bool is_alnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

// The classes of identifiers and constants are few enough ranges to be tested sixteen
// bytes at a time; a byte outside ASCII never is.
static_assert(peg::ByteRanges::of(peg::first<grammar::object>::value).count == 4);
static_assert(peg::ByteRanges::of(peg::first<grammar::time>::value).fits);
static_assert(!peg::ByteRanges::of(peg::FirstSet::of({'a', '\xe9'})).fits);

class GrammarClassRun : public testing::TestWithParam<ClassRun> {};

TEST_P(GrammarClassRun, EndsAtTheFirstByteOutsideTheClass) {
    std::string alphabet;
    for (int c = 0; c < 256; ++c) {
        if (GetParam().in_class(static_cast<unsigned char>(c))) alphabet += static_cast<char>(c);
    }
    for (const std::size_t length : {1, 2, 15, 16, 17, 31, 32, 33, 47}) {
        std::string run;
        for (std::size_t i = 0; i < length; ++i) run += alphabet[(i * 7) % alphabet.size()];
        for (int c = 0; c < 256; ++c) {
            const auto next = static_cast<unsigned char>(c);
            // Padding outside every class, so that the byte after the run need not be last.
            const std::string input = run + static_cast<char>(next) + std::string(20, ' ');
            const auto result = StixParser::parse(GetParam().start, input);
            ASSERT_TRUE(result.ok()) << length << " " << c << ": " << result.error().message();
            const std::size_t expected = length + (GetParam().in_class(next) ? 1 : 0);
            EXPECT_EQ((*result.value().top_level().begin()).text(), input.substr(0, expected)) << length << " " << c;
        }
        const auto whole = StixParser::parse(GetParam().start, run);
        ASSERT_TRUE(whole.ok()) << whole.error().message();
        EXPECT_EQ((*whole.value().top_level().begin()).text(), run);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarClassRun,
    testing::Values(
        ClassRun{Rule::object, [](unsigned char c) { return is_alnum(c) || c == '-'; }},
        ClassRun{Rule::property, [](unsigned char c) { return is_alnum(c) || c == '_'; }},
        ClassRun{Rule::pos_int, [](unsigned char c) { return c >= '0' && c <= '9'; }},
        ClassRun{Rule::hex, [](unsigned char c) { return std::isxdigit(c) != 0; }},
        ClassRun{Rule::bin, [](unsigned char c) { return is_alnum(c) || c == '/' || c == '+' || c == '='; }},
        ClassRun{Rule::time,
                 [](unsigned char c) { return is_alnum(c) || c == ':' || c == '-' || c == '.' || c == '+'; }}));

// Implicit whitespace consumes runs of "lone" bytes without matching the rule per byte;
// a byte that may also begin a longer alternative must never be one of them.
namespace lone_bytes {
using peg::lone;
using peg::sor;
using tao::pegtl::ascii::one;
using tao::pegtl::ascii::string;

constexpr auto whitespace = lone<grammar::WHITESPACE>::value;
static_assert(whitespace.admits(' ') && whitespace.admits('\t') && whitespace.admits('\r') &&
              whitespace.admits('\n'));
static_assert(!whitespace.admits('\\') && !whitespace.admits('t'));

constexpr auto shared_start = lone<sor<one<'a', 'b'>, string<'b', 'c'>>>::value;
static_assert(shared_start.admits('a') && !shared_start.admits('b'));

// A silent rule's bytes may be lone; rules that make nodes are matched in full, always.
static_assert(lone<grammar::QUOTE>::value.admits('\'') && !lone<grammar::equal>::value.admits('='));
}  // namespace lone_bytes

// The grammar counts, as it matches, the heap nodes a build of its tree will make; the
// builder sizes its node block by that count, so it must never fall short of a walk's.
// Operators matched and then dropped stay counted: only where a start rule other than
// `pattern` stops short of the text can that happen.
struct Counted {
    Rule start;
    std::string text;
};
void PrintTo(const Counted& c, std::ostream* os) {
    *os << display_name(c.start) << ": " << c.text;
}

class GrammarHeapNodes : public testing::TestWithParam<Counted> {};

TEST_P(GrammarHeapNodes, NeverFallShortOfAWalk) {
    const auto tree = StixParser::parse(GetParam().start, GetParam().text);
    ASSERT_TRUE(tree.ok()) << tree.error().message();
    ParseTree::BlockNeeds walked;
    for (const FlatNode& node : tree.value().flat_nodes()) {
        walked.add(node.rule, node.end - node.begin);
    }
    const ParseTree::BlockNeeds& counted = tree.value().block_needs();
    EXPECT_GE(counted.heap_nodes, walked.heap_nodes);
    EXPECT_GE(counted.text_room, walked.text_room);
    if (GetParam().start == Rule::pattern) {
        EXPECT_EQ(counted.heap_nodes, walked.heap_nodes);
        EXPECT_EQ(counted.text_room, walked.text_room);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarHeapNodes,
    testing::Values(Counted{Rule::pattern, "[a:b = 1]"},
                    Counted{Rule::pattern, "[a:b = 1 AND c:d = 2.5 OR (e:f = 'x' AND g:h = 3)]"},
                    Counted{Rule::pattern, "[a:b = 1] REPEATS 2 TIMES WITHIN 5 SECONDS FOLLOWEDBY [c:d = 2]"},
                    Counted{Rule::pattern, "([a:b = 1] OR ([c:d = 2] AND [e:f = 3]) WITHIN 1.5 SECONDS) "
                                           "START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'"},
                    Counted{Rule::pattern, "[a:b IN (1, 2.0, -3)] AND [x:y[*].z NOT LIKE 'q%']"},
                    Counted{Rule::pattern, "[file:hashes.'SHA-256' = 'aec070645fe53ee3b3763059376134f058cc337247c978add178b6ccdfb0019f'"
                                           " OR a-long-object-type:a_long_property_name = h'0123456789abcdef0123'"
                                           " OR x:y = b'QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=']"},
                    Counted{Rule::observation, "[a:b = 'a string constant long enough' OR c:d = 'short'] AND"},
                    Counted{Rule::comparison, "(a:b = 1 OR c:d = 2) AND"},
                    Counted{Rule::expression, "[a:b = 1] AND [c:d = 2] OR"},
                    Counted{Rule::observation, "[a:b = 1] WITHIN 5 SECONDS WITHIN"}));

// A run for building may keep its nodes in the caller's scratch: where they fit it, where
// they outgrow it during the run, and where the text is too long to try, the tree (nodes,
// spans, counts) and any report are those of a run into memory of its own.
enum class Kept { in_scratch, outgrew_it, never_in_it };

struct Scratched {
    std::string name;
    std::string text;
    Kept kept;
};
void PrintTo(const Scratched& row, std::ostream* os) {
    *os << row.name;
}

class GrammarScratch : public testing::TestWithParam<Scratched> {};

std::string flat_listing(const ParseTree& tree) {
    std::string out;
    for (const FlatNode& node : tree.flat_nodes()) {
        out += std::string(display_name(node.rule)) + " " + std::to_string(node.begin) + "-" +
               std::to_string(node.end) + "/" + std::to_string(node.descendants) + "; ";
    }
    const ParseTree::BlockNeeds& needs = tree.block_needs();
    return out + "needs " + std::to_string(needs.heap_nodes) + " " + std::to_string(needs.text_room);
}

std::string lean_outcome(const Result<ParseTree>& tree) {
    return tree.ok() ? flat_listing(tree.value()) : tree.error().message();
}

TEST_P(GrammarScratch, GivesTheTreeOfAnOwnArray) {
    constexpr FlatNode unwritten{~0U, ~0U, ~0U, Rule::EOI, 0};
    std::array<FlatNode, 16> scratch;
    scratch.fill(unwritten);
    const std::string text = GetParam().text;
    const auto tree = StixParser::parse_for_building(text, scratch);
    EXPECT_EQ(lean_outcome(tree), lean_outcome(StixParser::parse_for_building(text)));

    const bool written = scratch[0].begin != unwritten.begin;
    EXPECT_EQ(written, GetParam().kept != Kept::never_in_it);
    if (tree.ok()) {
        EXPECT_EQ(tree.value().flat_nodes().data() == scratch.data(), GetParam().kept == Kept::in_scratch);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GrammarScratch,
    testing::Values(Scratched{"fits", "[a:b = 1]", Kept::in_scratch},
                    Scratched{"outgrows it", "[a:b = 1 AND c:d = 2 AND e:f = 3]", Kept::outgrew_it},
                    Scratched{"outgrows it in a long path", "[a:b.c.d.e.f.g = 1 OR h:i = 2]", Kept::outgrew_it},
                    Scratched{"too long to try",
                              "[file:hashes.'SHA-256' = 'aec070645fe53ee3b3763059376134f058cc337247c978add178b6ccdfb0019f'] "
                              "AND [x:y IN ('a', 'b')] REPEATS 2 TIMES",
                              Kept::never_in_it},
                    Scratched{"rejected", "[a:b = 1 AND c:d = ]", Kept::in_scratch},
                    Scratched{"rejected after outgrowing it", "[a:b = 1 AND c:d = 2 AND e:f = ]", Kept::outgrew_it}));

// The lean run writes each comparison's operator and NOT into the comparison's node instead of
// making nodes for them; the whole tree keeps them as nodes, and no detail.
struct Folded {
    std::string text;
    std::string details;  // of each comparison in order: its operator, " not", or "-" for none
};
void PrintTo(const Folded& c, std::ostream* os) {
    *os << c.text;
}

class LeanFolding : public testing::TestWithParam<Folded> {};

std::string comparison_details(const ParseTree& tree) {
    std::string out;
    for (const FlatNode& node : tree.flat_nodes()) {
        if (node.rule != Rule::comparison) continue;
        const auto op = static_cast<Rule>(node.detail & operator_detail_mask);
        out += out.empty() ? "" : ", ";
        out += node.detail == 0 ? "-" : std::string(op == Rule::EOI ? "?" : display_name(op));
        out += (node.detail & negated_detail) != 0 ? " not" : "";
    }
    return out;
}

TEST_P(LeanFolding, PutsOperatorsIntoTheirComparison) {
    const auto lean = StixParser::parse_for_building(GetParam().text);
    ASSERT_TRUE(lean.ok()) << lean.error().message();
    EXPECT_EQ(comparison_details(lean.value()), GetParam().details);
    for (const FlatNode& node : lean.value().flat_nodes()) {
        EXPECT_FALSE(is_comparison_operator(node.rule) || node.rule == Rule::not_) << display_name(node.rule);
    }
    const auto whole = StixParser::parse(Rule::pattern, GetParam().text);
    ASSERT_TRUE(whole.ok());
    for (const FlatNode& node : whole.value().flat_nodes()) {
        EXPECT_EQ(node.detail, 0) << display_name(node.rule);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeanFolding,
    testing::Values(Folded{"[a:b = 1]", "equal"}, Folded{"[a:b NOT >= 1]", "ge not"},
                    Folded{"[a:b NOT IN (1, 2) OR EXISTS c:d]", "in not, -"},
                    Folded{"[(a:b > 1 OR c:d ISSUPERSET 'x') AND e:f != 'y']", "-, gt, issuperset, not_equal"},
                    // "EXISTS" and "NOT" are object types here, after the other alternatives failed.
                    Folded{"[EXISTS:x NOT LIKE 'a']", "like not"}, Folded{"[NOT:c NOT = 2]", "equal not"},
                    Folded{"[a:b <= 1] FOLLOWEDBY [c:d MATCHES 'x' AND e:f ISSUBSET 'y']", "le, match, issubset"}));

}  // namespace
}  // namespace quarnel::parser
