// The loader: accepted shapes, record rules, typed properties, and each error with its message.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

std::string observed(const std::string& members) {
    return R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1,)" +
           members + "}";
}

std::string embedded(const std::string& object) { return observed(R"("objects":{"0":)" + object + "}"); }

// The 257th of 300 nested arrays is the first too deep: 256 steps below the top.
std::string deep_pointer_error() {
    std::string pointer;
    for (int i = 0; i < 256; ++i) pointer += "/0";
    return "TooDeep: input 0: " + pointer + ": nesting exceeds 256 levels";
}

struct LoadCase {
    const char* name;
    std::string json;
    std::string outcome;  // "records N" or "<kind>: <message>"
};
void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

std::string load_outcome(const std::string& json, JsonReader* reader = nullptr) {
    const std::string_view texts[] = {json};
    auto set = load(texts, LoadOptions{}, reader);
    if (!set) return std::string(kind_name(set.error().kind)) + ": " + set.error().message;
    return "records " + std::to_string(set.value().records().size());
}

class Loading : public ::testing::TestWithParam<LoadCase> {};

TEST_P(Loading, GivesTheRecordsOrTheFirstError) {
    EXPECT_EQ(load_outcome(GetParam().json), GetParam().outcome);
    // simdjson's document parser, warm from a first text, gives the same.
    JsonReader reader;
    (void)load_outcome("[]", &reader);
    EXPECT_EQ(load_outcome(GetParam().json, &reader), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Loading, ::testing::Values(
    LoadCase{"alone", embedded(R"({"type":"file"})"), "records 1"},
    LoadCase{"array", array({embedded(R"({"type":"file"})"), embedded(R"({"type":"file"})")}), "records 2"},
    LoadCase{"bundles", array({R"({"type":"bundle","objects":[)" + embedded(R"({"type":"a"})") + "]}",
                               R"({"type":"bundle","objects":[)" + embedded(R"({"type":"a"})") + "]}"}),
             "records 2"},
    LoadCase{"bundle without objects", R"({"type":"bundle"})", "records 0"},
    LoadCase{"empty array", "[]", "records 0"},
    LoadCase{"element not an object", "[42]", "NotAnObject: input 0: /0: expected a JSON object"},
    LoadCase{"nested array", "[[]]", "NotAnObject: input 0: /0: expected a JSON object"},
    LoadCase{"bundle holding a string", R"({"type":"bundle","objects":["x"]})",
             "NotAnObject: input 0: /objects/0: expected a JSON object"},
    LoadCase{"bundle objects not an array", R"({"type":"bundle","objects":{}})",
             "WrongType: input 0: /objects: property \"objects\" must be an array"},
    LoadCase{"top value a string", R"("x")", "NotAnObject: input 0: expected a JSON object"},
    LoadCase{"no type", R"({"id":"x--1"})", "MissingProperty: input 0: missing required property \"type\""},
    LoadCase{"type not a string", R"([{"type":5}])", "WrongType: input 0: /0/type: property \"type\" must be a string"},
    LoadCase{"pool object without id", R"([{"type":"file"}])",
             "MissingProperty: input 0: /0: missing required property \"id\""},
    LoadCase{"same pool object twice", array({R"({"type":"file","id":"file--1","name":"a","size":1})",
                                              R"({"id":"file--1","size":1.0,"name":"a","type":"file"})"}),
             "records 0"},
    LoadCase{"pool objects differing", array({R"({"type":"file","id":"file--1","name":"a"})",
                                              R"({"type":"file","id":"file--1","name":"b"})"}),
             "DuplicateId: input 0: /1: object \"file--1\" is defined twice with different contents"},
    LoadCase{"two records with one id", array({observed(R"("id":"o--1","objects":{})"), observed(R"("id":"o--1","objects":{})")}),
             "records 2"}));

INSTANTIATE_TEST_SUITE_P(RecordRules, Loading, ::testing::Values(
    LoadCase{"id not a string", array({observed(R"("id":5,"objects":{})")}),
             "WrongType: input 0: /0/id: property \"id\" must be a string"},
    LoadCase{"no first_observed",
             R"({"type":"observed-data","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "MissingProperty: input 0: missing required property \"first_observed\""},
    LoadCase{"count a string", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":"1","objects":{}})",
             "WrongType: input 0: /number_observed: property \"number_observed\" must be an integer"},
    LoadCase{"count a float", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1.0,"objects":{}})",
             "WrongType: input 0: /number_observed: property \"number_observed\" must be an integer"},
    LoadCase{"count zero", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":0,"objects":{}})",
             "NumberObservedRange: input 0: /number_observed: number_observed must be between 1 and 999999999: 0"},
    LoadCase{"count too large", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1000000000,"objects":{}})",
             "NumberObservedRange: input 0: /number_observed: number_observed must be between 1 and 999999999: 1000000000"},
    LoadCase{"lower-case z", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00z","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-01-01T00:00:00z"},
    LoadCase{"no zone", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-01-01T00:00:00"},
    LoadCase{"offset", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00+00:00","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-01-01T00:00:00+00:00"},
    LoadCase{"space", R"({"type":"observed-data","first_observed":"2020-01-01 00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-01-01 00:00:00Z"},
    LoadCase{"february 30", R"({"type":"observed-data","first_observed":"2020-02-30T00:00:00Z","last_observed":"2020-03-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-02-30T00:00:00Z"},
    LoadCase{"empty fraction", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00.Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "InvalidTimestamp: input 0: /first_observed: invalid timestamp: 2020-01-01T00:00:00.Z"},
    LoadCase{"long fraction", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00.123456789123Z","last_observed":"2020-01-01T00:00:01Z","number_observed":1,"objects":{}})",
             "records 1"},
    LoadCase{"inverted", R"({"type":"observed-data","id":"o--1","first_observed":"2020-01-01T00:00:10Z","last_observed":"2020-01-01T00:00:05Z","number_observed":1,"objects":{}})",
             "IntervalInverted: observed-data #0 (o--1): last_observed is earlier than first_observed"},
    LoadCase{"leap second", R"({"type":"observed-data","first_observed":"2016-12-31T23:59:60Z","last_observed":"2017-01-01T00:00:00Z","number_observed":1,"objects":{}})",
             "records 1"},
    LoadCase{"neither form", R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","last_observed":"2020-01-01T00:00:00Z","number_observed":1})",
             "NoContents: observed-data #0: neither objects nor object_refs is present"},
    LoadCase{"both forms", observed(R"("object_refs":[],"objects":{"0":{"type":"a"}})"),
             "BothForms: observed-data #0: objects and object_refs are both present"},
    LoadCase{"both forms, objects null", observed(R"("object_refs":[],"objects":null)"),
             "BothForms: observed-data #0: objects and object_refs are both present"},
    LoadCase{"empty objects beside refs", observed(R"("object_refs":[],"objects":{})"), "records 1"},
    LoadCase{"objects not an object", observed(R"("objects":[])"),
             "WrongType: input 0: /objects: property \"objects\" must be an object"},
    LoadCase{"refs not strings", observed(R"("object_refs":["a",1])"),
             "WrongType: input 0: /object_refs: property \"object_refs\" must be an array of strings"},
    LoadCase{"embedded without type", embedded(R"({"name":"a"})"),
             "MissingProperty: input 0: /objects/0: missing required property \"type\""},
    LoadCase{"embedded not an object", embedded("5"),
             "WrongType: input 0: /objects/0: property \"0\" must be an object"}));

INSTANTIATE_TEST_SUITE_P(TypedProperties, Loading, ::testing::Values(
    LoadCase{"base64", embedded(R"({"type":"x","payload_bin":"YWJj"})"), "records 1"},
    LoadCase{"base64 short", embedded(R"({"type":"x","payload_bin":"YWJ"})"),
             "InvalidBinary: input 0: /objects/0/payload_bin: property \"payload_bin\" is not valid base64"},
    LoadCase{"base64 inner padding", embedded(R"({"type":"x","payload_bin":"YW=j"})"),
             "InvalidBinary: input 0: /objects/0/payload_bin: property \"payload_bin\" is not valid base64"},
    LoadCase{"hex odd", embedded(R"({"type":"x","magic_hex":"ABC"})"),
             "InvalidBinary: input 0: /objects/0/magic_hex: property \"magic_hex\" is not valid hex"},
    LoadCase{"hex empty", embedded(R"({"type":"x","magic_hex":""})"), "records 1"},
    LoadCase{"hex list", embedded(R"({"type":"x","l_hex":["00","zz"]})"),
             "InvalidBinary: input 0: /objects/0/l_hex/1: property \"l_hex\" is not valid hex"},
    LoadCase{"hex number", embedded(R"({"type":"x","n_hex":5})"),
             "InvalidBinary: input 0: /objects/0/n_hex: property \"n_hex\" is not valid hex"},
    LoadCase{"ref number", embedded(R"({"type":"x","parent_ref":5})"),
             "InvalidReference: input 0: /objects/0/parent_ref: reference property \"parent_ref\" must hold a string"},
    LoadCase{"refs string", embedded(R"({"type":"x","child_refs":"1"})"),
             "InvalidReference: input 0: /objects/0/child_refs: reference property \"child_refs\" must hold an array of strings"},
    LoadCase{"refs empty", embedded(R"({"type":"x","child_refs":[]})"), "records 1"},
    LoadCase{"bare suffix", embedded(R"({"type":"x","_ref":1})"),
             "InvalidReference: input 0: /objects/0/_ref: reference property \"_ref\" must hold a string"},
    LoadCase{"deep", embedded(R"({"type":"file","extensions":{"archive-ext":{"contains_refs":["0",5]}}})"),
             "InvalidReference: input 0: /objects/0/extensions/archive-ext/contains_refs: reference property \"contains_refs\" must hold an array of strings"},
    LoadCase{"inside a list", embedded(R"({"type":"x","items":[{"a_ref":1}]})"),
             "InvalidReference: input 0: /objects/0/items/0/a_ref: reference property \"a_ref\" must hold a string"},
    LoadCase{"hash keys", embedded(R"({"type":"file","hashes":{"X_ref":5}})"), "records 1"},
    LoadCase{"orphan pool object", array({R"({"type":"x","id":"x--1","payload_bin":"!"})"}), "records 0"},
    LoadCase{"listed pool object", array({observed(R"("object_refs":["x--1"])"), R"({"type":"x","id":"x--1","payload_bin":"!"})"}),
             "InvalidBinary: input 0: /1/payload_bin: property \"payload_bin\" is not valid base64"},
    LoadCase{"pointer escapes", embedded(R"({"type":"x","a/b":{"c~d":{"e_ref":1}}})"),
             "InvalidReference: input 0: /objects/0/a~1b/c~0d/e_ref: reference property \"e_ref\" must hold a string"}));

INSTANTIATE_TEST_SUITE_P(Json, Loading, ::testing::Values(
    LoadCase{"truncated", "[{", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"garbage after", "{} x", "InvalidJson: input 0: invalid JSON at byte 3"},
    LoadCase{"empty", "", "InvalidJson: input 0: invalid JSON at byte 0"},
    LoadCase{"trailing comma", "[1,]", "InvalidJson: input 0: invalid JSON at byte 3"},
    LoadCase{"bad utf-8", "[\"a\xff\"]", "InvalidJson: input 0: invalid JSON at byte 3"},
    LoadCase{"overlong utf-8", "[\"\xc0\xaf\"]", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"encoded surrogate", "[\"\xed\xa0\x80\"]", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"lone high surrogate", R"(["\ud800"])", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"lone low surrogate", R"(["x\udc00"])", "InvalidJson: input 0: invalid JSON at byte 3"},
    LoadCase{"control character", "[\"\x01\"]", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"leading zero", "[01]", "InvalidJson: input 0: invalid JSON at byte 2"},
    LoadCase{"duplicate member", embedded(R"({"type":"x","name":"a","name":"b"})"),
             "DuplicateMember: input 0: /objects/0: duplicate member name \"name\""},
    LoadCase{"duplicate at the top", R"({"a":1,"a":2})", "DuplicateMember: input 0: duplicate member name \"a\""},
    LoadCase{"deep arrays", std::string(300, '[') + std::string(300, ']'),
             deep_pointer_error()},
    LoadCase{"big integer is a float", embedded(R"({"type":"x","n":123456789012345678901234567890})"), "records 1"},
    LoadCase{"huge exponent", embedded(R"({"type":"x","n":1e400})"), "records 1"}));

// Member names of the lengths the name table compares in different ways (short, one or two
// machine words, long), differing in one middle character or not at all.
std::string names_of_length(std::size_t length, char second_differs) {
    std::string a(length, 'n'), b(length, 'n');
    b[length / 2] = second_differs;
    return embedded(R"({"type":"x",")" + a + R"(":1,")" + b + R"(":2})");
}

INSTANTIATE_TEST_SUITE_P(MemberNames, Loading, ::testing::Values(
    LoadCase{"distinct, 7 characters", names_of_length(7, 'm'), "records 1"},
    LoadCase{"distinct, 9 characters", names_of_length(9, 'm'), "records 1"},
    LoadCase{"distinct, 16 characters", names_of_length(16, 'm'), "records 1"},
    LoadCase{"distinct, 17 characters", names_of_length(17, 'm'), "records 1"},
    LoadCase{"distinct, 70 characters", names_of_length(70, 'm'), "records 1"},
    LoadCase{"same, 9 characters", names_of_length(9, 'n'),
             "DuplicateMember: input 0: /objects/0: duplicate member name \"nnnnnnnnn\""},
    LoadCase{"same, 70 characters", names_of_length(70, 'n'),
             "DuplicateMember: input 0: /objects/0: duplicate member name \"" + std::string(70, 'n') + "\""},
    LoadCase{"first repeat in input order", embedded(R"({"type":"x","b":1,"a":1,"a":2,"b":2})"),
             "DuplicateMember: input 0: /objects/0: duplicate member name \"a\""},
    // Objects of one shape, then another sharing its first names: lookups must not take
    // one shape's member for the other's.
    LoadCase{"shapes sharing a prefix",
             array({observed(R"("object_refs":["x--1","x--2","x--3"])"),
                    R"({"type":"x","id":"x--1","a":"1"})", R"({"type":"x","id":"x--2","b_ref":"x--1"})",
                    R"({"type":"x","id":"x--3","a":"1","b_ref":5})"}),
             "InvalidReference: input 0: /3/b_ref: reference property \"b_ref\" must hold a string"}));

INSTANTIATE_TEST_SUITE_P(LoadOrder, Loading, ::testing::Values(
    // A listed pool object's faults come after the faults of every record, whatever the order
    // in which the records list it.
    LoadCase{"record fault after a faulty listed object",
             array({observed(R"("object_refs":["x--1"])"), R"({"type":"x","id":"x--1","payload_bin":"!"})",
                    R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00Z","number_observed":1,"objects":{}})"}),
             "MissingProperty: input 0: /2: missing required property \"last_observed\""},
    LoadCase{"first faulty object in listing order",
             array({observed(R"("object_refs":["x--2","x--1"])"), R"({"type":"x","id":"x--1","a_hex":"0"})",
                    R"({"type":"x","id":"x--2","b_bin":"!"})"}),
             "InvalidBinary: input 0: /2/b_bin: property \"b_bin\" is not valid base64"},
    LoadCase{"typed name deep in lists", embedded(R"({"type":"x","a":[[{"b":1}],[{"c_ref":1}]]})"),
             "InvalidReference: input 0: /objects/0/a/1/0/c_ref: reference property \"c_ref\" must hold a string"},
    LoadCase{"typed name below a dictionary in a list", embedded(R"({"type":"x","l":[{"hashes":{"a_ref":1}}]})"),
             "records 1"},
    LoadCase{"collection fault after a type fault", array({R"({"id":"x--1"})", "7"}),
             "NotAnObject: input 0: /1: expected a JSON object"},
    LoadCase{"duplicate id before a type fault",
             array({R"({"type":"x","id":"x--1","a":1})", R"({"type":"x","id":"x--1","a":2})", R"({"id":"x--2"})"}),
             "DuplicateId: input 0: /1: object \"x--1\" is defined twice with different contents"},
    LoadCase{"type fault before a duplicate id",
             array({R"({"id":"x--2"})", R"({"type":"x","id":"x--1","a":1})", R"({"type":"x","id":"x--1","a":2})"}),
             "MissingProperty: input 0: /0: missing required property \"type\""}));

TEST(Loading, KeepsRepeatedReferencesOnce) {
    const std::string data = array({observed(R"("object_refs":["x--1","x--2","x--1"])"),
                                    observed(R"("object_refs":["x--2","x--2"])"), R"({"type":"x","id":"x--1"})",
                                    R"({"type":"x","id":"x--2"})"});
    const std::string_view texts[] = {data};
    auto set = load(texts);
    ASSERT_TRUE(set.ok()) << set.error().message;
    const auto& records = set.value().records();
    EXPECT_EQ(set.value().roots(records[0]).size(), 2u);
    EXPECT_EQ(set.value().roots(records[1]).size(), 1u);
    EXPECT_EQ(run("[x:id = 'x--2'] AND [x:id = 'x--2']", data).verdict, "match 0,1");
}

// Guards against work that grows with the square of an object's size: these end at once.
TEST(Loading, ManyMembersAndReferencesWithoutHanging) {
    std::string members = R"({"type":"x")";
    for (int i = 0; i < 200'000; ++i) members += ",\"m" + std::to_string(i) + "\":1";
    EXPECT_EQ(load_outcome(embedded(members + R"(,"m199999":2})")),
              "DuplicateMember: input 0: /objects/0: duplicate member name \"m199999\"");
    std::string refs = R"("object_refs":[)";
    std::vector<std::string> objects{""};
    for (int i = 0; i < 100'000; ++i) {
        refs += "\"x--" + std::to_string(i) + "\",";
        objects.push_back(R"({"type":"x","id":"x--)" + std::to_string(i) + "\"}");
    }
    objects[0] = observed(refs + R"("x--0"])");
    const std::string data = array(objects);
    const std::string_view texts[] = {data};
    auto set = load(texts);
    ASSERT_TRUE(set.ok()) << set.error().message;
    EXPECT_EQ(set.value().roots(set.value().records()[0]).size(), 100'000u);
}

// Every day of years around the calendar's rules, against the standard library's calendar.
TEST(Loading, ReadsEveryCalendarDay) {
    using namespace std::chrono;
    for (const int first_year : {0, 1600, 1896, 1968, 1999, 2096, 9995}) {
        for (int y = first_year; y < first_year + 5; ++y) {
            for (unsigned m = 1; m <= 12; ++m) {
                for (unsigned d = 1; d <= 32; ++d) {
                    const year_month_day date{year{y}, month{m}, day{d}};
                    char text[40];
                    std::snprintf(text, sizeof text, "%04d-%02u-%02uT23:59:60.5Z", y, m, d);
                    const auto instant = parse_data_timestamp(text);
                    ASSERT_EQ(instant.has_value(), date.ok()) << text;
                    if (!instant) continue;
                    const Instant days = sys_days{date}.time_since_epoch().count();
                    EXPECT_TRUE(*instant == (days * 86'400 + 86'400) * nanos_per_second + 500'000'000) << text;
                }
            }
        }
    }
}

TEST(Loading, CutsFractionsAfterNanoseconds) {
    const std::string_view texts[] = {
        R"({"type":"observed-data","first_observed":"2020-01-01T00:00:00.123456789999Z","last_observed":"2020-01-01T00:00:00.123456789Z","number_observed":1,"objects":{}})"};
    auto set = load(texts);
    ASSERT_TRUE(set.ok()) << set.error().message;
    const Record& r = set.value().records()[0];
    EXPECT_TRUE(r.first == r.last);
}

TEST(Loading, NumbersTheInputsOfSeveralTexts) {
    const std::string a = embedded(R"({"type":"x"})"), b = "[1]";
    const std::string_view texts[] = {a, b};
    auto set = load(texts);
    ASSERT_FALSE(set.ok());
    EXPECT_EQ(set.error().message, "input 1: /0: expected a JSON object");
}

TEST(Loading, ReadsHugeIntegersAsFloats) {
    const std::string data = array({embedded(R"({"type":"x","n":18446744073709551616,"m":-9223372036854775809})")});
    EXPECT_EQ(run("[x:n = 18446744073709551616.0 AND x:m < -9223372036854775807]", data).verdict, "match 0");
    EXPECT_EQ(run("[x:n > 9223372036854775807]", data).verdict, "match 0");
}

TEST(Loading, ResolvesReferencesInTheRecordOnly) {
    const std::string data = array({observed(R"("object_refs":["file--1","file--9","file--1","identity--1"])"),
                                    R"({"type":"file","id":"file--1","name":"a","owner_ref":"identity--1"})",
                                    R"({"type":"identity","id":"identity--1","name":"ACME"})",
                                    R"({"type":"file","id":"file--2","name":"orphan"})"});
    const std::string_view texts[] = {data};
    auto set = load(texts);
    ASSERT_TRUE(set.ok()) << set.error().message;
    EXPECT_EQ(set.value().unresolved_refs(), 1u);
    EXPECT_EQ(set.value().roots(set.value().records()[0]).size(), 1u);
    EXPECT_EQ(run("[file:name = 'orphan']", data).verdict, "no match");
    EXPECT_EQ(run("[identity:name = 'ACME']", data).verdict, "no match");
    EXPECT_EQ(run("[file:owner_ref.name = 'ACME']", data).verdict, "match 0");
}

}  // namespace
}  // namespace quarnel::match::testing
