// Paths, observations and observation expressions over small data sets: the verdict, the
// reported records and, where it matters, the binding.
#include <gtest/gtest.h>

#include "support.hpp"

namespace quarnel::match::testing {
namespace {

std::string person(const char* name, int age) {
    return one(std::string(R"({"type":"person","name":")") + name + "\",\"age\":" + std::to_string(age) + "}");
}

const std::string data_s = array({record(person("alice", 10), 0, 0, 1, "observed-data--s1"),
                                  record(person("bob", 17), 5, 5, 1, "observed-data--s2"),
                                  record(person("carol", 22), 10, 10, 1, "observed-data--s3")});
const std::string data_s2 = array({record(person("alice", 10), 0, 0, 2), record(person("bob", 17), 5),
                                   record(person("carol", 22), 10)});
const std::string data_r = array({record(person("alice", 10), 0, 0, 2), record(person("bob", 17), 3, 3, 3),
                                  record(person("carol", 22), 4, 4, 2)});
const std::string two_people = array({record(
    R"({"0":{"type":"person","name":"alice","age":10},"1":{"type":"person","name":"bob","age":15}})", 0)});

struct Case {
    std::string data;
    std::string pattern;
    std::string verdict;
    std::vector<BindingEntry> binding = {};
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.pattern; }

class Patterns : public ::testing::TestWithParam<Case> {};

TEST_P(Patterns, GiveTheFirstBinding) {
    const Case& c = GetParam();
    const Outcome out = run(c.pattern, c.data);
    EXPECT_EQ(out.verdict, c.verdict) << out.message;
    if (!c.binding.empty()) {
        EXPECT_EQ(out.binding, c.binding);
    }
}

std::string at_time(int s) { return "t'" + at(s) + "'"; }

std::string d1(const std::string& objects) { return array({record(objects, 0)}); }

INSTANTIATE_TEST_SUITE_P(Paths, Patterns, ::testing::Values(
    Case{d1(one(R"({"type":"File","name":"a"})")), "[file:name = 'a']", "no match"},
    Case{d1(one(R"({"type":"process","name":"a"})")), "[file:name = 'a']", "no match"},
    Case{d1(one(R"({"type":"file","hashes":{"SHA-256":"ab"}})")), "[file:hashes.'SHA-256' = 'ab']", "match 0"},
    Case{d1(one(R"({"type":"file","hashes":{"sha-256":"ab"}})")), "[file:hashes.'SHA-256' = 'ab']", "no match"},
    Case{d1(one(R"({"type":"x","has.dot":2})")), "[x:'has.dot' = 2]", "match 0"},
    Case{d1(one(R"({"type":"x","has":{"dot":2}})")), "[x:'has.dot' = 2]", "no match"},
    Case{d1(one(R"({"type":"x","items":["a","b"]})")), "[x:items[0] = 'a']", "match 0"},
    Case{d1(one(R"({"type":"x","items":["a","b"]})")), "[x:items[1] = 'a']", "no match"},
    Case{d1(one(R"({"type":"x","items":["a","b"]})")), "[x:items[2] = 'a']", "no match"},
    Case{d1(one(R"({"type":"x","items":["a","b"]})")), "[x:items[*] = 'b']", "match 0"},
    Case{d1(one(R"({"type":"x","items":"b"})")), "[x:items[*] = 'b']", "no match"},
    Case{d1(one(R"({"type":"x","items":[{"name":"a"}]})")), "[x:items.name = 'a']", "no match"},
    Case{d1(one(R"({"type":"x","items":[{"name":"a"}]})")), "[x:items[*].name = 'a']", "match 0"},
    Case{d1(one(R"({"type":"x","name":"a"})")), "[x:name[0] = 'a']", "no match"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"1"},"1":{"type":"directory","path":"/tmp"}})"),
         "[file:parent_directory_ref.path = '/tmp']", "match 0"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"1"},"1":{"type":"directory","path":"/tmp"}})"),
         "[file:parent_directory_ref = '1']", "match 0"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"7"}})"), "[file:parent_directory_ref.path != '/tmp']",
         "no match"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"7"}})"), "[EXISTS file:parent_directory_ref]", "match 0"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"7"}})"), "[EXISTS file:parent_directory_ref.path]",
         "no match"},
    Case{d1(R"({"0":{"type":"email-message","to_refs":["9","2"]},"1":{"type":"email-addr","value":"a@x"},"2":{"type":"email-addr","value":"b@x"}})"),
         "[email-message:to_refs[1].value = 'b@x']", "match 0"},
    Case{d1(R"({"0":{"type":"email-message","to_refs":["1","2"]},"1":{"type":"email-addr","value":"a@x"},"2":{"type":"email-addr","value":"b@x"}})"),
         "[email-message:to_refs.value = 'b@x']", "no match"},
    Case{d1(R"({"0":{"type":"email-message","to_refs":["1","2"]},"1":{"type":"email-addr","value":"a@x"},"2":{"type":"email-addr","value":"b@x"}})"),
         "[email-message:to_refs[*] = '2']", "match 0"},
    Case{d1(R"({"0":{"type":"node","next_refs":["0","1"],"size":1},"1":{"type":"node","next_refs":["0","1"],"size":1000}})"),
         "[node:next_refs[*].next_refs[*].next_refs[*].next_refs[*].size > 100]", "match 0"},
    Case{d1(one(R"({"type":"x","payload_bin":"YWJj"})")), "[x:payload_bin.len = 3]", "no match"},
    Case{d1(one(R"({"type":"x","a":{"b":[{"c":1}]}})")), "[x:a.b.c = 1]", "no match"},
    Case{d1(one(R"({"type":"x","a":{"b":[{"c":1}]}})")), "[x:a.b[0].c = 1]", "match 0"},
    Case{d1(one(R"({"type":"x","hashes":{}})")), "[EXISTS x:hashes]", "match 0"},
    Case{d1(one(R"({"type":"x","items":[]})")), "[EXISTS x:items[*]]", "no match"},
    Case{d1(R"({"0":{"type":"file","name":"a"},"1":{"type":"file","size":5}})"), "[file:size = 5]", "match 0"},
    Case{d1(one(R"({"type":"x","a":[1]})")), "[x:a = 1]", "no match"},
    Case{d1(one(R"({"type":"x","a":[{"b":[0,1]}]})")), "[x:a[*].b[*] = 1]", "match 0"},
    Case{d1(one(R"({"type":"x","items":["a","b"]})")), "[x:items[*] NOT = 'a']", "match 0"},
    Case{d1(R"({"0":{"type":"file","parent_directory_ref":"1"},"1":{"type":"directory","path":"/tmp","parent_directory_ref":"2"},"2":{"type":"directory","path":"/"}})"),
         "[file:parent_directory_ref.parent_directory_ref.path = '/']", "match 0"},
    Case{d1(R"({"0":{"type":"observed-data","x":1}})"), "[observed-data:x = 1]", "match 0"},
    Case{d1(one(R"({"type":"file","name":"a"})")), "[file:type = 'file']", "match 0"}));

INSTANTIATE_TEST_SUITE_P(SameRoot, Patterns, ::testing::Values(
    Case{two_people, "[person:name = 'alice' AND person:age < 20]", "match 0"},
    Case{two_people, "[person:name = 'alice' AND person:age > 10]", "no match"},
    Case{two_people, "[person:name = 'alice' OR person:age > 10]", "match 0"},
    Case{two_people, "[person:name = 'carol' OR person:age > 20]", "no match"},
    Case{two_people, "[(person:name = 'carol' OR person:name = 'bob') AND person:age > 10]", "match 0"},
    Case{two_people, "[person:name = 'alice' OR person:age > 1000 AND person:age < 0]", "no match"},
    Case{two_people, "[person:name = 'alice' OR (person:age > 1000 AND person:age < 0)]", "match 0"},
    Case{two_people, "[(person:name = 'darlene' OR person:name = 'carol') AND person:age < 0 OR person:age > 5]",
         "match 0"},
    Case{two_people, "[person:name = 'alice' AND person:nick NOT = 'al']", "no match"},
    Case{two_people, "[person:name = 'alice' AND person:name = 'bob']", "no match"},
    Case{two_people, "[person:name = 'alice'] AND [person:name = 'bob']", "no match"},
    Case{two_people, "[person:age > 12 AND person:age < 16]", "match 0"},
    Case{two_people, "[person:age < 12 AND person:age > 12]", "no match"},
    Case{two_people, "[person:name NOT = 'alice' AND person:age < 12]", "no match"},
    Case{two_people, "[person:name NOT = 'alice' OR person:age < 12]", "match 0"},
    Case{d1(R"({"0":{"type":"person","name":"alice"},"1":{"type":"dog","name":"rex"}})"),
         "[person:name = 'alice' AND dog:name = 'rex']", "no match"},
    Case{d1(R"({"0":{"type":"network-traffic","src_ref":"1","dst_port":443},"1":{"type":"ipv4-addr","value":"10.0.0.1"}})"),
         "[network-traffic:src_ref.value = '10.0.0.1' AND network-traffic:dst_port = 80]", "no match"},
    Case{d1(one(R"({"type":"x","items":[{"a":1},{"b":2}]})")), "[x:items[*].a = 1 AND x:items[*].b = 2]", "match 0"},
    Case{d1(R"({"0":{"type":"person","name":"alice","knows_ref":"1"},"1":{"type":"person","name":"bob","knows_refs":["0","2"]},"2":{"type":"person","name":"carol","knows_refs":["0","1","2"]}})"),
         "[person:knows_refs[*].name = 'carol' AND person:knows_refs[*].name = 'bob']", "match 0"},
    Case{d1(R"({"0":{"type":"person","name":"alice","knows_ref":"1"},"1":{"type":"person","name":"bob","knows_refs":["0","2"]}})"),
         "[person:knows_refs[*].name = 'alice' AND person:knows_ref.name = 'darlene']", "no match"},
    Case{array({record(one(R"({"type":"person","name":"alice"})"), 0),
                record(one(R"({"type":"person","name":"alice","age":10})"), 1)}),
         "[person:name = 'alice' AND person:age = 10]", "match 1"}));

INSTANTIATE_TEST_SUITE_P(Observations, Patterns, ::testing::Values(
    Case{data_s, "[person:name = 'alice'] AND [person:age > 20]", "match 0,2", {{0, 0, 1}, {1, 2, 1}}},
    Case{data_s, "[person:age > 20] AND [person:name = 'alice']", "match 0,2", {{0, 2, 1}, {1, 0, 1}}},
    Case{data_s, "[person:name = 'alice'] AND [person:age = 10]", "no match"},
    Case{data_s2, "[person:name = 'alice'] AND [person:age = 10]", "match 0", {{0, 0, 1}, {1, 0, 1}}},
    Case{data_s, "[person:name = 'zelda'] OR [person:name = 'carol']", "match 2", {{1, 2, 1}}},
    Case{data_s, "[person:name = 'carol'] OR [person:name > 'zelda']", "match 2", {{0, 2, 1}}},
    Case{data_s, "[person:age > 10] OR [person:name = 'bob'] OR [person:name > 'amber']", "match 1"},
    Case{data_s, "[person:name = 'alice'] FOLLOWEDBY [person:name > 'bill']", "match 0,1"},
    Case{data_s, "[person:name = 'bob'] FOLLOWEDBY [person:age < 15]", "no match"},
    Case{data_s, "[person:name = 'alice'] FOLLOWEDBY [person:name = 'alice']", "no match"},
    Case{data_s2, "[person:name = 'alice'] FOLLOWEDBY [person:name = 'alice']", "match 0"},
    Case{data_s, "[person:age > 20] OR [person:name > 'zelda'] AND [person:age < 0]", "no match"},
    Case{data_s, "[person:age > 20] OR ([person:name > 'zelda'] AND [person:age < 0])", "match 2"},
    Case{data_s, "[person:name = 'bob'] FOLLOWEDBY [person:name < 'elizabeth'] AND [person:age < 15]", "match 0,1,2",
         {{0, 1, 1}, {1, 2, 1}, {2, 0, 1}}},
    Case{data_s, "([person:name = 'alice'] OR [person:name = 'bob']) AND [person:name = 'alice']", "match 0,1",
         {{1, 1, 1}, {2, 0, 1}}},
    Case{array({record(one(R"({"type":"a","x":1})"), 5, 20), record(one(R"({"type":"b","y":2})"), 0, 6)}),
         "[a:x = 1] FOLLOWEDBY [b:y = 2]", "match 0,1"},
    Case{array({record(one(R"({"type":"a","x":1})"), 5, 20), record(one(R"({"type":"b","y":2})"), 0, 4)}),
         "[a:x = 1] FOLLOWEDBY [b:y = 2]", "no match"},
    Case{array({record(one(R"({"type":"a","x":1})"), 0), record(one(R"({"type":"a","x":1})"), 8),
                record(one(R"({"type":"b","y":2})"), 5)}),
         "([a:x = 1] AND [a:x = 1]) FOLLOWEDBY [b:y = 2]", "no match"},
    Case{array({record(one(R"({"type":"a","x":1})"), 0, 0, 2), record(one(R"({"type":"a","x":1})"), 8),
                record(one(R"({"type":"b","y":2})"), 5)}),
         "([a:x = 1] AND [a:x = 1]) FOLLOWEDBY [b:y = 2]", "match 0,2"}));

INSTANTIATE_TEST_SUITE_P(Repeats, Patterns, ::testing::Values(
    Case{data_r, "[person:age < 20] REPEATS 5 TIMES", "match 0,1", {{0, 0, 2}, {0, 1, 3}}},
    Case{data_r, "[person:age < 20] REPEATS 6 TIMES", "no match"},
    Case{data_r, "([person:age < 20] REPEATS 2 TIMES) REPEATS 2 TIMES", "match 0,1"},
    Case{data_r, "([person:age < 20] REPEATS 2 TIMES) REPEATS 3 TIMES", "no match"},
    Case{data_r, "[person:age < 20] REPEATS 2 TIMES REPEATS 3 TIMES", "match 0,1"},
    Case{data_r, "[person:name > 'aaron'] REPEATS 5 TIMES WITHIN 1 SECONDS", "match 1,2", {{0, 1, 3}, {0, 2, 2}}},
    Case{data_r, "[person:name > 'aaron'] REPEATS 7 TIMES", "match 0,1,2"},
    Case{data_r, "[person:name > 'aaron'] REPEATS 8 TIMES", "no match"},
    Case{data_r, "([person:age < 30] AND [person:name > 'aaron']) WITHIN 2 SECONDS REPEATS 3 TIMES", "no match"},
    Case{data_r, "(([person:age < 30] AND [person:name > 'aaron']) WITHIN 2 SECONDS) REPEATS 3 TIMES",
         "match 0,1,2"},
    Case{data_r, "[person:age < 20] REPEATS 1 TIMES", "match 0"},
    Case{data_r, "([person:name = 'alice'] OR [person:name = 'carol']) REPEATS 4 TIMES", "match 0,2"},
    Case{data_r, "([person:name = 'alice'] FOLLOWEDBY [person:name = 'bob']) REPEATS 2 TIMES", "match 0,1"},
    Case{data_r, "[x:y = 1] REPEATS 0 TIMES", "compile error RepeatCount"}));

INSTANTIATE_TEST_SUITE_P(Within, Patterns, ::testing::Values(
    Case{data_s, "([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 5 SECONDS", "match 0,1"},
    Case{data_s, "([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 4.9999 SECONDS", "no match"},
    Case{data_s, "[person:name = 'alice'] AND [person:name = 'bob'] WITHIN 1 SECONDS", "match 0,1"},
    Case{data_s, "[person:name = 'bob'] WITHIN 0.0001 SECONDS", "match 1"},
    Case{data_s, "([person:name = 'alice'] OR [person:name = 'darlene']) WITHIN 1 SECONDS", "match 0"},
    Case{data_s, "([person:name < 'alice'] OR [person:name = 'darlene']) WITHIN 10 SECONDS", "no match"},
    Case{array({record(person("alice", 1), 0, 1), record(person("bob", 1), 3, 4)}),
         "([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 2 SECONDS", "match 0,1"},
    Case{array({record(person("alice", 1), 0, 1), record(person("bob", 1), 3, 4)}),
         "([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 1 SECONDS", "no match"},
    Case{array({record(person("alice", 1), 0, 3), record(person("bob", 1), 1, 2)}),
         "([person:name = 'alice'] AND [person:name = 'bob']) WITHIN 1 SECONDS", "match 0,1"},
    Case{data_s, "([person:name = 'alice'] FOLLOWEDBY [person:name = 'carol']) WITHIN 10 SECONDS", "match 0,2"},
    Case{data_s, "([person:name = 'alice'] FOLLOWEDBY [person:name = 'carol']) WITHIN 9 SECONDS", "no match"},
    Case{data_s, "[x:y = 1] WITHIN 0 SECONDS", "compile error WithinRange"}));

INSTANTIATE_TEST_SUITE_P(StartStop, Patterns, ::testing::Values(
    Case{data_s, "[person:name = 'bob'] START " + at_time(5) + " STOP " + at_time(6), "match 1"},
    Case{data_s, "[person:name = 'bob'] START " + at_time(5) + " STOP " + at_time(5), "no match"},
    Case{data_s, "[person:name = 'bob'] START " + at_time(6) + " STOP " + at_time(5), "no match"},
    Case{data_s, "[person:name LIKE 'a%'] AND [person:name = 'bob'] START " + at_time(5) + " STOP " + at_time(6),
         "match 0,1"},
    Case{data_s, "([person:name LIKE 'a%'] AND [person:name = 'bob']) START " + at_time(0) + " STOP " + at_time(5),
         "no match"},
    Case{data_s, "[person:name MATCHES ''] REPEATS 2 TIMES START " + at_time(0) + " STOP " + at_time(6), "match 0,1"},
    Case{data_s, "[person:name MATCHES ''] REPEATS 3 TIMES START " + at_time(0) + " STOP " + at_time(6), "no match"},
    Case{array({record(person("alice", 1), 0, 100)}),
         "[person:name = 'alice'] START " + at_time(50) + " STOP " + at_time(60), "match 0"},
    Case{array({record(person("alice", 1), 60, 70)}),
         "[person:name = 'alice'] START " + at_time(50) + " STOP " + at_time(60), "no match"},
    Case{data_s, "([person:name = 'alice'] START " + at_time(0) + " STOP " + at_time(10) + ") START " +
                     at_time(5) + " STOP " + at_time(20),
         "no match"},
    Case{data_s, "([person:name = 'bob'] START " + at_time(0) + " STOP " + at_time(10) + ") START " + at_time(5) +
                     " STOP " + at_time(20),
         "match 1"}));

const std::string a_at(int t, int n = 1) { return record(one(R"({"type":"a","x":1})"), t, t, n); }
const std::string b_at(int t) { return record(one(R"({"type":"b","y":1})"), t); }

INSTANTIATE_TEST_SUITE_P(CrossCutting, Patterns, ::testing::Values(
    Case{array({a_at(0, 3)}), "[a:x = 1] AND [a:x = 1] AND [a:x = 1]", "match 0"},
    Case{array({a_at(0), a_at(0), a_at(0)}), "[a:x = 1] AND [a:x = 1] AND [a:x = 1]", "match 0,1,2"},
    Case{array({a_at(0), a_at(0)}), "[a:x = 1] AND [a:x = 1] AND [a:x = 1]", "no match"},
    Case{array({a_at(0), b_at(5)}), "([a:x = 1] OR [b:y = 1]) FOLLOWEDBY ([a:x = 1] OR [b:y = 1])", "match 0,1",
         {{0, 0, 1}, {3, 1, 1}}},
    Case{array({a_at(10), a_at(5), a_at(0)}), "[a:x = 1] FOLLOWEDBY [a:x = 1] FOLLOWEDBY [a:x = 1]", "match 0,1,2",
         {{0, 2, 1}, {1, 1, 1}, {2, 0, 1}}},
    Case{array({a_at(0), a_at(10), a_at(5)}), "[a:x = 1] FOLLOWEDBY [a:x = 1] FOLLOWEDBY [a:x = 1]", "match 0,1,2",
         {{0, 0, 1}, {1, 2, 1}, {2, 1, 1}}},
    Case{array({record(one(R"({"type":"a","x":1})"), 0, 100), b_at(50)}), "[b:y = 1] FOLLOWEDBY [a:x = 1]", "match 0,1"},
    Case{array({record(one(R"({"type":"a","x":1})"), 0, 100), b_at(50)}),
         "([a:x = 1] FOLLOWEDBY [b:y = 1]) WITHIN 10 SECONDS", "match 0,1"},
    Case{array({a_at(0, 2), a_at(10, 5)}),
         "[a:x = 1] REPEATS 3 TIMES START " + at_time(0) + " STOP " + at_time(10), "no match"},
    Case{array({a_at(0, 2), a_at(10, 5)}),
         "[a:x = 1] REPEATS 3 TIMES START " + at_time(0) + " STOP " + at_time(11), "match 0,1", {{0, 0, 2}, {0, 1, 1}}},
    Case{array({a_at(0), a_at(7), a_at(9)}), "[a:x = 1] REPEATS 2 TIMES WITHIN 5 SECONDS", "match 1,2"},
    Case{array({a_at(0)}), "([a:x = 1])", "match 0"},
    Case{array({record(person("alice", 1), 0, 0, 1, "observed-data--1"), record(person("bob", 1), 0)}),
         "[person:name = 'bob']", "match 1"}));

// The worked bundle in the referenced form.
const std::string bundle = R"({"type": "bundle", "id": "bundle--1", "objects": [
  {"type": "observed-data", "spec_version": "2.1", "id": "observed-data--a",
   "first_observed": "2020-01-01T00:00:00Z", "last_observed": "2020-01-01T00:00:00Z",
   "number_observed": 1, "object_refs": ["network-traffic--1", "ipv4-addr--1", "ipv4-addr--2"]},
  {"type": "observed-data", "spec_version": "2.1", "id": "observed-data--b",
   "first_observed": "2020-01-01T00:01:00Z", "last_observed": "2020-01-01T00:02:00Z",
   "number_observed": 3, "object_refs": ["file--1"]},
  {"type": "network-traffic", "id": "network-traffic--1", "src_ref": "ipv4-addr--1",
   "dst_ref": "ipv4-addr--2", "dst_port": 443, "protocols": ["ipv4", "tcp", "tls"]},
  {"type": "ipv4-addr", "id": "ipv4-addr--1", "value": "10.0.0.5"},
  {"type": "ipv4-addr", "id": "ipv4-addr--2", "value": "198.51.100.7"},
  {"type": "file", "id": "file--1", "name": "a.exe", "hashes": {"SHA-256": "aa11"}, "size": 4096},
  {"type": "file", "id": "file--2", "name": "b.exe"}]})";

const std::string archive = R"([{"type": "observed-data", "id": "observed-data--c",
  "first_observed": "2005-01-21T11:17:41Z", "last_observed": "2005-01-21T11:22:41Z", "number_observed": 5,
  "objects": {
    "0": {"type": "file", "hashes": {"SHA-256": "bf07"}},
    "1": {"type": "file", "hashes": {"MD5": "22A0"}},
    "2": {"type": "file", "hashes": {"MD5": "8D98"}},
    "3": {"type": "file", "hashes": {"SHA-256": "aec0"}, "mime_type": "application/zip",
          "extensions": {"archive-ext": {"contains_refs": ["0", "1", "2"], "version": "5.0"}}}}}])";

INSTANTIATE_TEST_SUITE_P(WorkedExamples, Patterns, ::testing::Values(
    Case{bundle, "[network-traffic:dst_ref.value ISSUBSET '198.51.100.0/24' AND network-traffic:dst_port = 443]",
         "match 0"},
    Case{bundle, "[network-traffic:protocols[*] = 'tls']", "match 0"},
    Case{bundle, "[network-traffic:protocols[2] = 'tls']", "match 0"},
    Case{bundle, "[network-traffic:protocols = 'tls']", "no match"},
    Case{bundle, "[ipv4-addr:value = '10.0.0.5'] FOLLOWEDBY [file:hashes.'SHA-256' = 'aa11']", "match 0,1"},
    Case{bundle, "[file:name = 'b.exe']", "no match"},
    Case{bundle, "[file:size > 4000] REPEATS 3 TIMES", "match 1"},
    Case{bundle, "[file:size > 4000] REPEATS 4 TIMES", "no match"},
    Case{bundle, "([ipv4-addr:value = '10.0.0.5'] AND [file:name = 'a.exe']) WITHIN 60 SECONDS", "match 0,1"},
    Case{bundle, "([ipv4-addr:value = '10.0.0.5'] AND [file:name = 'a.exe']) WITHIN 59 SECONDS", "no match"},
    Case{bundle, "[network-traffic:src_ref = 'ipv4-addr--1']", "match 0"},
    Case{bundle, "[network-traffic:dst_ref.type = 'ipv4-addr' AND network-traffic:dst_ref.value = '198.51.100.7']",
         "match 0"},
    Case{archive, "[file:extensions.'archive-ext'.contains_refs[*].hashes.MD5 = '8D98']", "match 0"},
    Case{archive,
         "[file:extensions.'archive-ext'.contains_refs[*].hashes.MD5 = '8D98' AND file:mime_type = 'application/zip']",
         "match 0"},
    Case{archive, "[file:hashes.MD5 = '22A0' AND file:mime_type = 'application/zip']", "no match"},
    Case{archive, "[file:hashes.MD5 = '22A0'] REPEATS 5 TIMES", "match 0"},
    Case{archive, "[file:hashes.MD5 = '22A0'] REPEATS 6 TIMES", "no match"},
    Case{archive, "[file:hashes.MD5 = '22A0'] AND [file:hashes.'SHA-256' = 'aec0']", "match 0"},
    Case{archive, "[file:extensions.'archive-ext'.contains_refs[3].hashes.MD5 = '8D98']", "no match"},
    Case{archive, "[file:hashes.MD5 = '22a0']", "no match"}));

TEST(Results, NameTheRecordsAndTheirIds) {
    const auto tree = parser::parse_pattern("[person:name = 'alice'] AND [person:age > 20]");
    const auto compiled = compile(tree.value());
    const std::string data = array({record(person("alice", 10), 0, 0, 1, "observed-data--s1"), record(person("bob", 17), 5),
                                    record(person("carol", 22), 10, 10, 1, "observed-data--s3")});
    const std::string_view texts[] = {data};
    const auto set = load(texts);
    const auto first = match(compiled.value(), set.value());
    const auto second = match(compiled.value(), set.value());
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.value().observed_data_ids, (std::vector<std::string>{"observed-data--s1", "observed-data--s3"}));
    EXPECT_EQ(first.value().binding, second.value().binding);
}

TEST(Results, NoRecordsIsNoMatch) { EXPECT_EQ(run("[a:x = 1] OR [b:y = 1]", "[]").verdict, "no match"); }

TEST(Results, CompileWarningsStayOnThePattern) {
    const auto tree = parser::parse_pattern("[a:x = 1 AND b:y = 2] OR [c:z = 1] START t'2020-01-01T00:00:06Z' STOP t'2020-01-01T00:00:05Z'");
    const auto compiled = compile(tree.value());
    ASSERT_TRUE(compiled.ok());
    EXPECT_EQ(compiled.value().warnings.size(), 2u);
}

TEST(ValueErrors, ComeInRecordOrderBeforeLeafOrder) {
    const std::string data =
        array({record(one(R"({"type":"x","t":"bad"})"), 0), record(one(R"({"type":"x","n":1})"), 0)});
    const std::string pattern = "[x:n = 1] OR [x:t = t'2020-01-01T00:00:00Z']";
    const Outcome strict = run(pattern, data);
    EXPECT_EQ(strict.verdict, "error ValueNotTimestamp");
    EXPECT_EQ(strict.message, "input 0: /0/objects/0/t: value compared with a timestamp is not a valid timestamp: bad");
    MatchOptions lenient;
    lenient.value_errors = ValueErrors::Lenient;
    const Outcome out = run(pattern, data, lenient);
    EXPECT_EQ(out.verdict, "match 1");
    EXPECT_EQ(out.warnings.size(), 1u);

    const std::string later = array({a_at(0), a_at(0), a_at(0), record(one(R"({"type":"y","t":"late"})"), 0),
                                     record(one(R"({"type":"z","t":"early"})"), 0)});
    EXPECT_EQ(run("[y:t = t'2020-01-01T00:00:00Z'] AND [a:x = 1] AND [z:t = t'2020-01-01T00:00:00Z']", later).message,
              "input 0: /3/objects/0/t: value compared with a timestamp is not a valid timestamp: late");
}

}  // namespace
}  // namespace quarnel::match::testing
