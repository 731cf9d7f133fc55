// One comparison on one value: every operator against every kind of value, on the record
// of mixed values, held once in the embedded form and once in the referenced form.
#include <gtest/gtest.h>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

const std::string test_object_members =
    R"("int": 5, "float": 12.658, "float_int": 12.0, "bool": true,
       "string": "hello", "ip": "11.22.33.44", "cidr": "11.22.33.44/20", "nul": null,
       "obj": {"a": 1}, "lst": ["a", "b"],
       "ts": "2010-05-21T13:21:43Z", "ts_frac": "2010-05-21T13:21:43.1234Z",
       "bad_ts": "2010-05-21 13:21:43",
       "name_hex": "616c696365", "name_bin": "YWxpY2U=", "bin_hex": "01020304",
       "name_u": "\u0103lice", "big": 9007199254740993, "neg": -0,
       "nfc": "\u1e0d\u0307", "nfd": "d\u0323\u0307", "u_bin": "w6k=",
       "pct": "a%b", "lines": "line1\nline2")";

std::string embedded() {
    return R"({"type": "observed-data", "first_observed": "2020-01-01T00:00:00Z",
               "last_observed": "2020-01-01T00:00:00Z", "number_observed": 1,
               "objects": {"0": {"type": "test", )" +
           test_object_members + "}}}";
}

std::string referenced() {
    return R"({"type": "bundle", "id": "bundle--t", "objects": [
      {"type": "observed-data", "spec_version": "2.1", "id": "observed-data--t",
       "first_observed": "2020-01-01T00:00:00Z", "last_observed": "2020-01-01T00:00:00Z",
       "number_observed": 1, "object_refs": ["test--1"]},
      {"type": "test", "id": "test--1", )" +
           test_object_members + "}]}";
}

struct Case {
    const char* pattern;
    const char* verdict;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.pattern; }

class OneComparison : public ::testing::TestWithParam<Case> {};

TEST_P(OneComparison, GivesTheSameVerdictInBothForms) {
    const Case& c = GetParam();
    EXPECT_EQ(run(c.pattern, embedded()).verdict, c.verdict);
    EXPECT_EQ(run(c.pattern, referenced()).verdict, c.verdict);
}

INSTANTIATE_TEST_SUITE_P(Numbers, OneComparison, ::testing::Values(
    Case{"[test:int = 5]", "match 0"}, Case{"[test:int NOT != 5]", "match 0"},
    Case{"[test:int >= 5]", "match 0"}, Case{"[test:int <= 5]", "match 0"},
    Case{"[test:int > 4.9]", "match 0"}, Case{"[test:int < 5.1]", "match 0"},
    Case{"[test:int > 5]", "no match"}, Case{"[test:int NOT = 5]", "no match"},
    Case{"[test:int < 4.9]", "no match"}, Case{"[test:float_int = 12]", "match 0"},
    Case{"[test:float_int IN (11, 12, 13)]", "match 0"}, Case{"[test:float = 12.658]", "match 0"},
    Case{"[test:float > 12.65801]", "no match"}, Case{"[test:int IN (-4, 5, 6.6)]", "match 0"},
    Case{"[test:int NOT IN (-4, 5, 6)]", "no match"},
    Case{"[test:big = 9007199254740992.0]", "no match"},
    Case{"[test:big > 9007199254740992.0]", "match 0"},
    Case{"[test:big < 9007199254740994.0]", "match 0"},
    Case{"[test:neg = 0]", "match 0"},
    Case{"[test:float_int = 12.0]", "match 0"}));

INSTANTIATE_TEST_SUITE_P(CrossKind, OneComparison, ::testing::Values(
    Case{"[test:int = 'world']", "no match"}, Case{"[test:int != 'world']", "match 0"},
    Case{"[test:int = true]", "no match"}, Case{"[test:int != true]", "match 0"},
    Case{"[test:int = h'010203']", "no match"}, Case{"[test:int != h'010203']", "match 0"},
    Case{"[test:int = t'1965-07-19T22:41:38Z']", "no match"},
    Case{"[test:int != t'1965-07-19T22:41:38Z']", "match 0"},
    Case{"[test:bool = 1]", "no match"}, Case{"[test:bool != 1]", "match 0"},
    Case{"[test:bool IN (1, 2)]", "no match"}, Case{"[test:bool = true]", "match 0"},
    Case{"[test:string = 1]", "no match"}, Case{"[test:string IN (1, 2, 3)]", "no match"},
    Case{"[test:string NOT IN (1, 2, 3)]", "match 0"}, Case{"[test:int > 'abc']", "no match"},
    Case{"[test:int NOT > 'abc']", "match 0"}, Case{"[test:int LIKE 'he%']", "no match"},
    Case{"[test:int NOT LIKE 'he%']", "match 0"}, Case{"[test:int MATCHES 'l+']", "no match"},
    Case{"[test:int NOT MATCHES 'l+']", "match 0"}, Case{"[test:int ISSUBSET '11.0.0.0/8']", "no match"},
    Case{"[test:int NOT ISSUBSET '11.0.0.0/8']", "match 0"}, Case{"[test:obj = 1]", "no match"},
    Case{"[test:obj != 1]", "match 0"}, Case{"[test:lst = 'a']", "no match"},
    Case{"[test:lst[*] = 'a']", "match 0"}));

INSTANTIATE_TEST_SUITE_P(Strings, OneComparison, ::testing::Values(
    Case{"[test:string = 'hello']", "match 0"}, Case{"[test:string > 'alice']", "match 0"},
    Case{"[test:string < 'zelda']", "match 0"}, Case{"[test:string >= 'hello']", "match 0"},
    Case{"[test:string = 'Hello']", "no match"}, Case{"[test:string < 'hello!']", "match 0"},
    Case{"[test:string LIKE 'he%']", "match 0"}, Case{"[test:string LIKE 'he__o']", "match 0"},
    Case{"[test:string LIKE '%']", "match 0"}, Case{"[test:string LIKE 'hello']", "match 0"},
    Case{"[test:string LIKE 'he_o']", "no match"}, Case{"[test:string LIKE 'HE%']", "no match"},
    Case{"[test:string LIKE 'hell']", "no match"}, Case{"[test:string LIKE '%l%o']", "match 0"},
    Case{"[test:pct LIKE 'a%b']", "match 0"}, Case{"[test:string LIKE 'h%%o']", "match 0"},
    Case{"[test:lines LIKE 'line1%line2']", "match 0"}, Case{"[test:lines LIKE 'line1_line2']", "match 0"},
    Case{"[test:string MATCHES 'l+']", "match 0"}, Case{"[test:string MATCHES '.lo$']", "match 0"},
    Case{"[test:string MATCHES '^l']", "no match"}, Case{"[test:string MATCHES '']", "match 0"},
    Case{"[test:string MATCHES '(?i)^HELLO$']", "match 0"},
    Case{"[test:string MATCHES '(']", "compile error InvalidRegex"},
    Case{"[test:string LIKE 5]", "compile error OperandKind"}));

INSTANTIATE_TEST_SUITE_P(Unicode, OneComparison, ::testing::Values(
    Case{"[test:nfc = 'd\xcc\xa3\xcc\x87']", "no match"},
    Case{"[test:nfc LIKE 'd\xcc\xa3\xcc\x87']", "match 0"},
    Case{"[test:nfd MATCHES '^\xe1\xb8\x8d\xcc\x87$']", "match 0"},
    Case{"[test:nfd IN ('\xe1\xb8\x8d\xcc\x87')]", "no match"},
    Case{"[test:name_u > 'alice']", "match 0"}, Case{"[test:name_u LIKE '_lice']", "match 0"}));

INSTANTIATE_TEST_SUITE_P(Binary, OneComparison, ::testing::Values(
    Case{"[test:name_hex = 'alice']", "match 0"}, Case{"[test:name_bin = 'alice']", "match 0"},
    Case{"[test:name_hex = b'YWxpY2U=']", "match 0"}, Case{"[test:name_bin = h'616c696365']", "match 0"},
    Case{"[test:name_bin = h'616C696365']", "match 0"}, Case{"[test:string = h'68656c6c6f']", "match 0"},
    Case{"[test:name_bin > 'aardvark']", "match 0"}, Case{"[test:name_hex > h'616172647661726b']", "match 0"},
    Case{"[test:name_bin = '\xc4\x83lice']", "no match"}, Case{"[test:name_bin > '\xc4\x83lice']", "no match"},
    Case{"[test:name_bin < '\xc4\x83lice']", "no match"}, Case{"[test:name_bin != '\xc4\x83lice']", "match 0"},
    Case{"[test:name_u = h'616c696365']", "no match"}, Case{"[test:bin_hex = h'01020304']", "match 0"},
    Case{"[test:bin_hex = b'AQIDBA==']", "match 0"}, Case{"[test:bin_hex IN (h'00', b'AQIDBA==')]", "match 0"},
    Case{"[test:name_bin MATCHES '\\x61li[c\\x01]e']", "match 0"}, Case{"[test:bin_hex MATCHES '\\x03']", "match 0"},
    Case{"[test:name_bin MATCHES '\xc4\x83lice']", "no match"},
    Case{"[test:name_bin NOT MATCHES '\xc4\x83lice']", "match 0"},
    Case{"[test:name_bin LIKE 'al%']", "match 0"}, Case{"[test:name_bin LIKE 'alice']", "match 0"},
    Case{"[test:name_bin LIKE '%\xc4\x83lice%']", "no match"}, Case{"[test:u_bin = '\xc3\xa9']", "no match"},
    Case{"[test:u_bin = h'c3a9']", "match 0"}, Case{"[test:u_bin LIKE '__']", "match 0"},
    Case{"[x:y = h'abc']", "compile error InvalidHex"}, Case{"[x:y = b'a=b']", "compile error InvalidBase64"},
    Case{"[x:y = b'YQ=']", "compile error InvalidBase64"}));

INSTANTIATE_TEST_SUITE_P(Timestamps, OneComparison, ::testing::Values(
    Case{"[test:ts = t'2010-05-21T13:21:43Z']", "match 0"},
    Case{"[test:ts > t'1974-11-05T05:31:11Z']", "match 0"},
    Case{"[test:ts IN (t'1953-11-26T14:25:33Z', t'2010-05-21T13:21:43Z')]", "match 0"},
    Case{"[test:ts = t'2010-05-21T08:21:43-05:00']", "match 0"},
    Case{"[test:ts_frac > t'2010-05-21T13:21:43Z']", "match 0"},
    Case{"[test:ts_frac = t'2010-05-21T13:21:43Z']", "no match"},
    Case{"[test:ts = '2010-05-21T13:21:43Z']", "match 0"},
    Case{"[test:ts_frac = '2010-05-21T13:21:43.1234Z']", "match 0"},
    Case{"[test:bad_ts = t'2010-05-21T13:21:43Z']", "error ValueNotTimestamp"},
    Case{"[test:bad_ts != t'2010-05-21T13:21:43Z']", "error ValueNotTimestamp"},
    Case{"[test:bad_ts < t'2010-05-21T13:21:43Z']", "error ValueNotTimestamp"},
    Case{"[test:int = t'2010-05-21T13:21:43Z']", "no match"},
    Case{"[test:string = t'2010-05-21T13:21:43Z' OR test:int = 5]", "error ValueNotTimestamp"}));

INSTANTIATE_TEST_SUITE_P(NullAndMissing, OneComparison, ::testing::Values(
    Case{"[test:nul = 'alice']", "no match"}, Case{"[test:nul > 'alice']", "no match"},
    Case{"[test:nul IN ('a')]", "no match"}, Case{"[test:nul LIKE '%']", "no match"},
    Case{"[test:nul MATCHES '']", "no match"}, Case{"[test:nul != 'alice']", "match 0"},
    Case{"[EXISTS test:nul]", "match 0"}, Case{"[test:missing != 'x']", "no match"},
    Case{"[test:missing NOT = 'x']", "no match"}, Case{"[test:missing NOT LIKE 'x']", "no match"},
    Case{"[test:missing NOT IN ('x')]", "no match"}, Case{"[EXISTS test:missing]", "no match"}));

INSTANTIATE_TEST_SUITE_P(Addresses, OneComparison, ::testing::Values(
    Case{"[test:ip ISSUBSET '11.22.41.123/20']", "match 0"},
    Case{"[test:ip ISSUBSET '11.22.123.41/20']", "no match"},
    Case{"[test:cidr ISSUPERSET '11.22.41.123']", "match 0"},
    Case{"[test:cidr ISSUPERSET '11.22.41.123/29']", "match 0"},
    Case{"[test:cidr ISSUPERSET '11.22.33.44/13']", "no match"},
    Case{"[test:ip ISSUBSET '11.22.33.44']", "match 0"}, Case{"[test:ip ISSUBSET '0.0.0.0/0']", "match 0"},
    Case{"[test:ip ISSUBSET '011.022.033.044']", "match 0"},
    Case{"[test:string ISSUBSET '10.0.0.0/8']", "no match"},
    Case{"[test:string NOT ISSUBSET '10.0.0.0/8']", "match 0"},
    Case{"[test:ip ISSUBSET '::/0']", "no match"},
    Case{"[test:ip ISSUBSET '11.22.33.44/33']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '1.2.3']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET 'x']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '1.2.3.4/']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '1.2.3.256']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '1::2::3']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '[::1]']", "compile error InvalidAddress"},
    Case{"[test:ip ISSUBSET '::1/129']", "compile error InvalidAddress"}));

INSTANTIATE_TEST_SUITE_P(RightHandSides, OneComparison, ::testing::Values(
    Case{"[test:string IN 'hello']", "compile error ListRequired"},
    Case{"[test:string = ('a', 'b')]", "compile error ListNotAllowed"},
    Case{"[test:string IN ('a', 1)]", "compile error MixedList"},
    Case{"[test:int > true]", "compile error OperandKind"},
    Case{"[test:ip ISSUPERSET 5]", "compile error OperandKind"},
    Case{"[test:ip MATCHES h'00']", "compile error OperandKind"}));

struct Ipv6Case {
    const char* value;
    const char* block;
    bool subset;
};
void PrintTo(const Ipv6Case& c, std::ostream* os) { *os << c.value << " in " << c.block; }

class AddressBlocks : public ::testing::TestWithParam<Ipv6Case> {};

TEST_P(AddressBlocks, ContainOnlyTheirOwnFamily) {
    const Ipv6Case& c = GetParam();
    const std::string data = array({record(one(std::string(R"({"type":"ipv6-addr","value":")") + c.value + "\"}"), 0)});
    EXPECT_EQ(run(std::string("[ipv6-addr:value ISSUBSET '") + c.block + "']", data).verdict,
              c.subset ? "match 0" : "no match");
}

INSTANTIATE_TEST_SUITE_P(Families, AddressBlocks, ::testing::Values(
    Ipv6Case{"2001:db8::1", "2001:db8::/32", true}, Ipv6Case{"2001:db8::1", "10.0.0.0/8", false},
    Ipv6Case{"2001:db8::1", "::ffff:0:0/96", false}, Ipv6Case{"::ffff:10.0.0.1", "::ffff:0:0/96", true},
    Ipv6Case{"10.0.0.1", "::ffff:0:0/96", false}, Ipv6Case{"2001:db8:0:0:0:0:0:1", "2001:db8::1", true},
    Ipv6Case{"2001:DB8::1", "2001:db8::1/128", true}, Ipv6Case{"fe80::1%eth0", "::/0", false},
    Ipv6Case{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", true}, Ipv6Case{"1:2:3:4:5:6:7:8:9", "::/0", false}));

TEST(ValueErrors, AreDroppedWithAWarningInLenientMode) {
    MatchOptions lenient;
    lenient.value_errors = ValueErrors::Lenient;
    const Outcome out = run("[test:bad_ts != t'2010-05-21T13:21:43Z']", embedded(), lenient);
    EXPECT_EQ(out.verdict, "no match");
    ASSERT_EQ(out.warnings.size(), 1u);
    EXPECT_EQ(out.warnings[0].message,
              "input 0: /objects/0/bad_ts: value compared with a timestamp is not a valid timestamp: "
              "2010-05-21 13:21:43");
}

TEST(ValueErrors, RegexLimitEndsACatastrophicSearch) {
    const std::string data =
        array({record(one(R"({"type":"x","s":")" + std::string(40, 'a') + "!\"}"), 0)});
    MatchOptions options;
    options.regex_match_limit = 100000;
    const Outcome out = run("[x:s MATCHES '^(a+)+$']", data, options);
    EXPECT_EQ(out.verdict, "error RegexLimit");
    EXPECT_EQ(out.message, "input 0: /0/objects/0/s: regular expression search exceeded its resource limit");
}

}  // namespace
}  // namespace quarnel::match::testing
