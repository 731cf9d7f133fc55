#include "tools/tree_json.hpp"

#include <gtest/gtest.h>

#include <string>

#include "parser/builder.hpp"
#include "tools/observables.hpp"

namespace quarnel::tools {
namespace {

std::string tree_of(const std::string& pattern) {
    const auto parsed = parser::parse_pattern(pattern);
    EXPECT_TRUE(parsed.ok()) << pattern;
    std::string out;
    append_tree_json(out, parsed.value());
    return out;
}

struct JsonCase {
    std::string pattern;
    std::string json;
};

class TreeJsonTest : public testing::TestWithParam<JsonCase> {};

TEST_P(TreeJsonTest, WritesTheDocumentedShape) { EXPECT_EQ(tree_of(GetParam().pattern), GetParam().json); }

const std::string ab = R"({"node": "ObjectPath", "object_type": "a", "property_path": [{"node": "PathComponent", "property": "b", "index": null}]})";

std::string comparison(const std::string& constant) {
    return R"({"node": "Comparison", "op": "=", "negated": false, "object_path": )" + ab +
           R"(, "constant": )" + constant + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TreeJsonTest,
    testing::Values(
        JsonCase{"[a:b = 'q\"\\\\\xC3\xA9\x01']", comparison(R"("q\"\\\u00e9\u0001")")},
        JsonCase{"[a:b = '\xF0\x9F\x98\x80']", comparison(R"("\ud83d\ude00")")},
        JsonCase{"[a:b = 0.1]", comparison("0.1")},
        JsonCase{"[a:b = -3.0]", comparison("-3.0")},
        JsonCase{"[a:b = -9223372036854775808]", comparison("-9223372036854775808")},
        JsonCase{"[a:b = 1] OR [a:b = 2] FOLLOWEDBY [a:b = 3]",
                 R"({"node": "CompositePattern", "operands": [)" + comparison("1") + ", " + comparison("2") + ", " +
                     comparison("3") + R"(], "operators": ["OR", "FOLLOWEDBY"]})"},
        JsonCase{"[a:b = 1] REPEATS 2 TIMES",
                 R"({"node": "QualifiedPattern", "repeat": 2, "within": null, "start": null, "stop": null, "pattern": )" +
                     comparison("1") + "}"}));

TEST(ObservablesCsv, QuotesCellsThatNeedIt) {
    const auto parsed = parser::parse_pattern("[a:b IN ('x,y', 'q\"') AND a:c = 'line\\nbreak']");
    ASSERT_TRUE(parsed.ok());
    std::string csv;
    for (const Observable& observable : observables_of(parsed.value())) {
        append_csv_row(csv, "s,1", observable);
    }
    EXPECT_EQ(csv,
              "\"s,1\",0,a,b,IN,false,string string,\"[\"\"x,y\"\", \"\"q\\\"\"\"\"]\",\r\n"
              "\"s,1\",0,a,c,=,false,string,\"line\nbreak\",\r\n");
}

}  // namespace
}  // namespace quarnel::tools
