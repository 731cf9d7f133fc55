#include "tools/strict.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace quarnel::tools {
namespace {

std::vector<std::string> codes_of(std::string_view pattern) {
    const auto findings = strict_findings(pattern);
    EXPECT_TRUE(findings.ok()) << pattern;
    std::vector<std::string> codes;
    if (findings.ok()) {
        for (const Finding& finding : findings.value()) {
            codes.emplace_back(finding.code);
        }
    }
    return codes;
}

// One row per pattern: the codes it must yield, in text order (empty: a clean pattern).
struct StrictCase {
    std::string pattern;
    std::vector<std::string> codes;
};

void PrintTo(const StrictCase& row, std::ostream* out) {
    *out << row.pattern;
}

class StrictCodes : public testing::TestWithParam<StrictCase> {};

TEST_P(StrictCodes, YieldTheExpectedCodes) {
    EXPECT_EQ(codes_of(GetParam().pattern), GetParam().codes) << GetParam().pattern;
}

const std::string md5(32, 'a');
const std::string sha1(40, 'b');
const std::string sha256(64, 'C');
const std::string sha512(128, 'd');

INSTANTIATE_TEST_SUITE_P(
    Hashes, StrictCodes,
    testing::Values(
        StrictCase{"[file:hashes.MD5 = '" + md5 + "']", {}},
        StrictCase{"[file:hashes.MD5 = '" + md5 + "a']", {"hash-value"}},
        StrictCase{"[file:hashes.MD5 = '" + md5.substr(1) + "g']", {"hash-value"}},
        StrictCase{"[file:hashes.'SHA-1' = '" + sha1 + "']", {}},
        StrictCase{"[file:hashes.'SHA-1' = '" + md5 + "']", {"hash-value"}},
        StrictCase{"[file:hashes.'SHA-256' = '" + sha256 + "']", {}},
        StrictCase{"[file:hashes.'SHA3-256' = '" + sha256 + "']", {}},
        StrictCase{"[file:hashes.'SHA-256' = '" + sha1 + "']", {"hash-value"}},
        StrictCase{"[file:hashes.'SHA-512' = '" + sha512 + "']", {}},
        StrictCase{"[file:hashes.'SHA3-512' = '" + sha256 + "']", {"hash-value"}},
        StrictCase{"[file:hashes.SSDEEP = '3:AXGBicFlgVNhBGcL6wCrFQEv:AXGHsNhxLsr2C']", {}},
        StrictCase{"[file:hashes.SSDEEP = '3::']", {}},
        StrictCase{"[file:hashes.SSDEEP = 'x3:abc:def']", {"hash-value"}},
        StrictCase{"[file:hashes.SSDEEP = '3:abc']", {"hash-value"}},
        StrictCase{"[file:hashes.SSDEEP = '3:ab-c:def']", {"hash-value"}},
        StrictCase{"[file:hashes.SSDEEP = '3:\xc3\xa9:def']", {"hash-value"}},  // letters are ASCII ones
        StrictCase{"[file:hashes.SSDEEP = '3:" + std::string(65, 'a') + ":b']", {"hash-value"}},
        StrictCase{"[file:hashes.SSDEEP = '3:a:" + std::string(33, 'b') + "']", {"hash-value"}},
        StrictCase{"[file:hashes.TLSH = '" + std::string(70, 'A') + "']", {}},
        StrictCase{"[file:hashes.TLSH = 'T1" + std::string(70, 'a') + "']", {}},
        StrictCase{"[file:hashes.TLSH = 'T2" + std::string(70, 'a') + "']", {"hash-value"}},
        StrictCase{"[file:hashes.TLSH = '" + std::string(72, 'a') + "']", {"hash-value"}},
        // near misses of the vocabulary are named, and their values still checked
        StrictCase{"[file:hashes.SHA256 = '" + sha256 + "']", {"hash-algorithm"}},
        StrictCase{"[file:hashes.sha256 = 'abc']", {"hash-algorithm", "hash-value"}},
        StrictCase{"[file:hashes.'WHIRLPOOL' = 'abc']", {"hash-algorithm"}},
        StrictCase{"[file:hashes.x_custom = 'abc']", {}},
        // only equality compares whole hash values
        StrictCase{"[file:hashes.MD5 IN ('" + md5 + "', 'abc')]", {"hash-value"}},
        StrictCase{"[file:hashes.MD5 LIKE 'abc%']", {}},
        StrictCase{"[EXISTS file:hashes.MD5]", {}},
        StrictCase{"[file:extensions.'windows-pebinary-ext'.file_header_hashes.MD5 = 'ab']", {"hash-value"}},
        StrictCase{"[file:hashes.MD5.x = 'a']", {"property-kind"}}));

INSTANTIATE_TEST_SUITE_P(
    Constants, StrictCodes,
    testing::Values(
        StrictCase{"[artifact:payload_bin = b'QUJD']", {}},
        StrictCase{"[artifact:payload_bin = b'QUI=']", {}},
        StrictCase{"[artifact:payload_bin = b'QQ==']", {}},
        StrictCase{"[artifact:payload_bin = b'QUJ']", {"base64"}},
        StrictCase{"[artifact:payload_bin = b'Q===']", {"base64"}},
        StrictCase{"[artifact:payload_bin = b'Q=JD']", {"base64"}},
        StrictCase{"[file:magic_number_hex = h'ffd8']", {}},
        StrictCase{"[file:magic_number_hex = h'ffd']", {"hex-digits"}},
        StrictCase{"[x-thing:data IN (h'00', h'000')]", {"hex-digits"}},
        StrictCase{"[file:created = t'2020-01-01T00:00:00Z']", {"property-name"}},
        StrictCase{"[file:ctime = t'0000-01-01T00:00:00Z']", {"timestamp-range"}},
        StrictCase{"[file:ctime = t'9999-12-31T23:00:00-05:00']", {"timestamp-range"}},
        StrictCase{"[file:ctime = t'2016-12-31T23:59:60Z']", {"timestamp-range"}},
        StrictCase{"[file:ctime = t'9999-12-31T23:59:59.999999Z']", {}}));

INSTANTIATE_TEST_SUITE_P(
    Operators, StrictCodes,
    testing::Values(
        StrictCase{"[file:name MATCHES '^a.*\\\\.exe$']", {}},
        StrictCase{"[file:name MATCHES '(unclosed']", {"regex"}},
        StrictCase{"[file:name MATCHES 'a{2,1}']", {"regex"}},
        StrictCase{"[file:name MATCHES 5]", {"regex"}},
        StrictCase{"[artifact:payload_bin MATCHES 'ab']", {}},
        StrictCase{"[file:magic_number_hex MATCHES 'ab']", {}},
        StrictCase{"[file:size MATCHES '1.*']", {"matches-property"}},
        StrictCase{"[file:name LIKE 'a%']", {}},
        StrictCase{"[file:size LIKE '1%']", {"like-property"}},
        StrictCase{"[file:ctime LIKE '2020%']", {"like-property"}},
        StrictCase{"[file:name LIKE 5]", {"constant-kind"}},
        StrictCase{"[x-custom:size LIKE '1%']", {}},
        StrictCase{"[ipv4-addr:value ISSUBSET '10.0.0.0/8']", {}},
        StrictCase{"[ipv4-addr:value ISSUBSET '10.0.0.1']", {}},
        StrictCase{"[ipv6-addr:value ISSUPERSET '2001:db8::/32']", {}},
        StrictCase{"[ipv6-addr:value ISSUBSET '::1']", {}},
        StrictCase{"[ipv4-addr:value ISSUBSET '10.0.0.0/33']", {"subnet"}},
        StrictCase{"[ipv4-addr:value ISSUBSET '10.0.0/8']", {"subnet"}},
        StrictCase{"[ipv4-addr:value ISSUBSET '10.0.0.0/08']", {"subnet"}},
        StrictCase{"[ipv4-addr:value ISSUBSET '256.0.0.0']", {"subnet"}},
        StrictCase{"[ipv6-addr:value ISSUBSET '2001:db8::/129']", {"subnet"}},
        StrictCase{"[ipv4-addr:value ISSUBSET 'example.com']", {"subnet"}},
        StrictCase{"[ipv4-addr:value ISSUBSET 10]", {"subnet"}},
        StrictCase{std::string("[ipv4-addr:value ISSUBSET '10.0.0.1\0x']", 39), {"subnet"}}));

INSTANTIATE_TEST_SUITE_P(
    Qualifiers, StrictCodes,
    testing::Values(
        StrictCase{"[a:b = 1] REPEATS 1 TIMES", {"object-type"}},
        StrictCase{"[x-a:b = 1] REPEATS 0 TIMES", {"repeats"}},
        StrictCase{"[x-a:b = 1] WITHIN 0 SECONDS", {"within"}},
        StrictCase{"[x-a:b = 1] WITHIN 0.0 SECONDS", {"within"}},
        StrictCase{"[x-a:b = 1] WITHIN 0.5 SECONDS", {}},
        StrictCase{"[x-a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-02T00:00:00Z'", {}},
        StrictCase{"[x-a:b = 1] START t'2020-01-02T00:00:00Z' STOP t'2020-01-01T00:00:00Z'", {"start-stop"}},
        StrictCase{"[x-a:b = 1] START t'2020-01-01T00:00:00Z' STOP t'2020-01-01T00:00:00Z'", {"start-stop"}},
        StrictCase{"[x-a:b = 1] START t'2020-01-01T00:00:00.5Z' STOP t'2020-01-01T00:00:00.25Z'",
                   {"start-stop"}},
        StrictCase{"[x-a:b = 1] START t'0000-01-01T00:00:00Z' STOP t'2020-01-01T00:00:00Z'",
                   {"timestamp-range"}},
        StrictCase{"([x-a:b = 1] REPEATS 0 TIMES) WITHIN 0 SECONDS", {"repeats", "within"}}));

INSTANTIATE_TEST_SUITE_P(
    Precedence, StrictCodes,
    testing::Values(
        StrictCase{"[x-a:b = 1] OR [x-c:d = 2] AND [x-e:f = 3]", {"precedence"}},
        StrictCase{"[x-a:b = 1] AND [x-c:d = 2] OR [x-e:f = 3]", {}},
        StrictCase{"([x-a:b = 1] OR [x-c:d = 2]) AND [x-e:f = 3]", {}},
        StrictCase{"[x-a:b = 1] FOLLOWEDBY [x-c:d = 2] OR [x-e:f = 3]", {"precedence"}},
        StrictCase{"[x-a:b = 1] OR [x-c:d = 2] FOLLOWEDBY [x-e:f = 3]", {}},
        StrictCase{"[x-a:b = 1] AND [x-c:d = 2] OR [x-e:f = 3] FOLLOWEDBY [x-g:h = 4]", {}},
        StrictCase{"[x-a:b = 1 OR x-a:c = 2 AND x-a:d = 3]", {"precedence"}},
        StrictCase{"[x-a:b = 1 AND x-a:c = 2 OR x-a:d = 3]", {}},
        StrictCase{"[(x-a:b = 1 OR x-a:c = 2) AND x-a:d = 3]", {}},
        StrictCase{"[x-a:b = 1 AND (x-a:b = 1 OR x-a:c = 2 AND x-a:d = 3)]", {"precedence"}},
        // one finding per chain, at its first divergence
        StrictCase{"[x-a:b = 1] OR [x-a:b = 1] AND [x-a:b = 1] OR [x-a:b = 1] AND [x-a:b = 1]", {"precedence"}},
        StrictCase{"[x-a:b = 1 OR x-a:c = 2 AND x-a:d = 3] OR [x-a:b = 1] AND [x-a:b = 1]",
                   {"precedence", "precedence"}}));

INSTANTIATE_TEST_SUITE_P(
    DataModel, StrictCodes,
    testing::Values(
        StrictCase{"[file:name = 'a.exe']", {}},
        StrictCase{"[fiel:name = 'a.exe']", {"object-type"}},
        StrictCase{"[x-acme-widget:anything.goes[3] = 1]", {}},
        StrictCase{"[file:nmae = 'a']", {"property-name"}},
        StrictCase{"[file:x_acme_flag = 1]", {}},
        StrictCase{"[file:size = 5]", {}},
        StrictCase{"[file:size = '5']", {"constant-kind"}},
        StrictCase{"[file:size > 5.5]", {"constant-kind"}},
        StrictCase{"[file:size IN (1, 'two')]", {"constant-kind"}},
        StrictCase{"[file:ctime > '2020-01-01']", {"constant-kind"}},
        StrictCase{"[file:ctime > t'2020-01-01T00:00:00Z']", {}},
        StrictCase{"[file:is_encrypted = true]", {"property-name"}},
        StrictCase{"[network-traffic:is_active = true]", {}},
        StrictCase{"[network-traffic:is_active = 'true']", {"constant-kind"}},
        StrictCase{"[file:hashes = 'abc']", {"constant-kind"}},
        StrictCase{"[file:name[0] = 'a']", {"property-kind"}},
        StrictCase{"[file:name.first = 'a']", {"property-kind"}},
        StrictCase{"[email-message:to_refs[*].value = 'a@b.c']", {}},
        StrictCase{"[email-message:to_refs[*].nmae = 'a']", {"property-name"}},
        StrictCase{"[email-message:from_ref.value = 'a@b.c']", {}},
        StrictCase{"[network-traffic:src_ref.value ISSUBSET '10.0.0.0/8']", {}},
        StrictCase{"[network-traffic:src_ref.size = 1]", {"property-name"}},
        StrictCase{"[file:parent_directory_ref.path = 'C:\\\\x']", {}},
        StrictCase{"[process:child_refs[0].pid = 4]", {}},
        StrictCase{"[process:arguments[0] = 'x']", {"property-name"}},  // a STIX 2.0 property, gone in 2.1
        StrictCase{"[email-message:body_multipart[*].content_type = 'text/plain']", {}},
        StrictCase{"[email-message:body_multipart[*].contenttype = 'text/plain']", {"property-name"}},
        StrictCase{"[email-message:additional_header_fields.Subject = 'x']", {}},
        StrictCase{"[file:extensions.'ntfs-ext'.sid = 'x']", {}},
        StrictCase{"[file:extensions.'ntfs-ext'.sidd = 'x']", {"property-name"}},
        StrictCase{"[file:extensions.'nfts-ext'.sid = 'x']", {"extension-name"}},
        StrictCase{"[file:extensions.'x-acme-ext'.anything = 'x']", {}},
        StrictCase{"[file:extensions.'extension-definition--d83fce45-ef58-4c6c-a3f4-1fbc32e98c6e'.rank = 5]", {}},
        StrictCase{"[file:extensions.'windows-pebinary-ext'.sections[*].entropy > 7.0]", {}},
        StrictCase{"[file:extensions.'windows-pebinary-ext'.sections[*].entropy > 7]", {}},
        StrictCase{"[windows-registry-key:values[*].data = 'x']", {}},
        StrictCase{"[EXISTS file:nmae]", {"property-name"}}));

TEST(StrictFindings, RejectedPatternsGiveTheParsersError) {
    const auto findings = strict_findings("[file:name = 'x'");
    ASSERT_FALSE(findings.ok());
    EXPECT_NE(findings.error().message().find("Grammar error"), std::string::npos) << findings.error().message();
}

TEST(StrictFindings, PrecedenceMessageNamesBothReadingsAndTheCanonicalText) {
    const auto findings = strict_findings("[a:b = 1] OR [c:d = 2] AND [e:f = 3]");
    ASSERT_TRUE(findings.ok());
    const Finding* precedence = nullptr;
    for (const Finding& finding : findings.value()) {
        if (finding.code == "precedence") {
            precedence = &finding;
        }
    }
    ASSERT_NE(precedence, nullptr);
    const std::string& message = precedence->message;
    EXPECT_NE(message.find("([a:b = 1] OR [c:d = 2]) AND [e:f = 3]"), std::string::npos) << message;
    EXPECT_NE(message.find("[a:b = 1] OR ([c:d = 2] AND [e:f = 3])"), std::string::npos) << message;
    EXPECT_NE(message.find("canonical text: ([a:b = 1] OR [c:d = 2]) AND [e:f = 3]"), std::string::npos)
        << message;
    EXPECT_EQ(precedence->begin, 23u);  // the AND
    EXPECT_EQ(precedence->end, 26u);
}

TEST(StrictFindings, TheFirstPrecedenceFindingInTheTextGivesTheCanonicalText) {
    // The outer chain is met first in the parse tree, but diverges after the inner one.
    const auto findings = strict_findings("[x-a:b = 1 OR x-a:c = 2 AND x-a:d = 3] OR [x-a:b = 1] AND [x-a:b = 1]");
    ASSERT_TRUE(findings.ok());
    ASSERT_EQ(findings.value().size(), 2u);
    EXPECT_NE(findings.value()[0].message.find("canonical text: ([(x-a:b = 1 OR x-a:c = 2) AND x-a:d = 3] OR"), std::string::npos)
        << findings.value()[0].message;
    EXPECT_NE(findings.value()[1].message.find("as in the first mixed-operator finding"), std::string::npos);
}

TEST(StrictFindings, LocationsPointAtTheComparisonOrQualifiers) {
    const std::string pattern = "[x-a:b = 1 AND file:size = 'x'] WITHIN 0 SECONDS";
    const auto findings = strict_findings(pattern);
    ASSERT_TRUE(findings.ok());
    ASSERT_EQ(findings.value().size(), 2u);
    const Finding& kind = findings.value()[0];
    EXPECT_EQ(kind.code, "constant-kind");
    EXPECT_EQ(pattern.substr(*kind.begin, *kind.end - *kind.begin), "file:size = 'x'");
    const Finding& within = findings.value()[1];
    EXPECT_EQ(within.code, "within");
    EXPECT_EQ(pattern.substr(*within.begin, *within.end - *within.begin), "WITHIN 0 SECONDS");
}

TEST(StrictFindings, LongMixedChainsNeitherRecurseNorRepeatTheCanonicalText) {
    std::string pattern = "[x-a:b = 1]";
    for (int i = 0; i < 100000; ++i) {
        pattern += i % 2 == 0 ? " OR [x-a:b = 1]" : " AND [x-a:b = 1]";
    }
    const auto findings = strict_findings(pattern);
    ASSERT_TRUE(findings.ok());
    ASSERT_EQ(findings.value().size(), 1u);
    EXPECT_LT(findings.value()[0].message.size(), 1000u);
    EXPECT_NE(findings.value()[0].message.find("no canonical text"), std::string::npos);
}

TEST(StrictCodesTable, CodesAreUniqueKebabCaseAndKnown) {
    std::set<std::string_view> seen;
    for (const StrictCode& entry : strict_codes()) {
        EXPECT_TRUE(seen.insert(entry.code).second) << entry.code;
        EXPECT_EQ(entry.code.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string_view::npos);
        EXPECT_TRUE(is_strict_code(entry.code));
    }
    EXPECT_FALSE(is_strict_code("no-such-code"));
}

}  // namespace
}  // namespace quarnel::tools
