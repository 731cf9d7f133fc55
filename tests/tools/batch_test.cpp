#include "tools/batch.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <tuple>

#include <string>

namespace quarnel::tools {
namespace {

// Large enough for the inputs to be split among threads.
constexpr int many = 12'000;

std::string indicator(int i, const std::string& pattern) {
    // Nested objects that also begin with "type", and strings that look like boundaries:
    // only real boundaries between STIX objects may split the document.
    return R"({"type": "indicator", "id": "indicator--)" + std::to_string(i) +
           R"(", "external_references": [{"type": "x"}, {"type": "y", "note": "}, {\"type\""}],)"
           R"( "pattern": ")" + pattern + R"("})";
}

std::string bundle_of(int count, const std::string& before, const std::string& after) {
    std::string text = "{" + before + R"("objects": [)";
    for (int i = 0; i < count; ++i) {
        text += i == 0 ? "" : ",\n ";
        text += i % 7 == 3 ? R"({"type": "malware", "name": "}, {\"type\": \"indicator\""})"
                           : indicator(i, i % 5 == 0 ? "[a:b = ]" : "[a:b = 'x}, {\\\"type\\\"']");
    }
    return text + "]" + after + "}";
}

struct DocumentCase {
    std::string name;
    std::string before;  // keys before "objects"
    std::string after;   // keys after the objects array
    bool read;           // the engine reads it (not handed back)
};

class JsonDocumentTest : public testing::TestWithParam<DocumentCase> {};

TEST_P(JsonDocumentTest, EveryThreadCountGivesTheOutputOfOne) {
    const std::string text = bundle_of(many, GetParam().before, GetParam().after);
    for (const Report report : {Report::rejections, Report::tree_json, Report::observables_csv}) {
        const auto one = check_json_document(text, "b", report, 1);
        ASSERT_EQ(one.has_value(), GetParam().read);
        if (!one) {
            continue;
        }
        for (const unsigned jobs : {2U, 3U, 8U}) {
            const auto several = check_json_document(text, "b", report, jobs);
            ASSERT_TRUE(several.has_value());
            EXPECT_EQ(several->out, one->out);
            EXPECT_EQ(several->err, one->err);
            EXPECT_EQ(std::tie(several->accepted, several->rejected, several->skipped),
                      std::tie(one->accepted, one->rejected, one->skipped));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, JsonDocumentTest,
    testing::Values(DocumentCase{"bundle", R"("type": "bundle", )", "", true},
                    DocumentCase{"type_after_objects", "", R"(, "type": "bundle", "spec_version": "2.0")", true},
                    // a later "type" wins, as in a Python dict: not a bundle but one object
                    DocumentCase{"type_overridden", R"("type": "bundle", )", R"(, "type": "other")", true},
                    // two "objects" keys: the checker decides
                    DocumentCase{"objects_twice", R"("type": "bundle", )", R"(, "objects": [])", true}),
    [](const auto& info) { return info.param.name; });

TEST(JsonDocument, CountsAndLabelsAcrossPieces) {
    std::string text = "[";
    for (int i = 0; i < many; ++i) {
        text += i == 0 ? "" : ", ";
        text += i == many - 1 ? R"({"type": "indicator", "pattern": "[a:b = ]"})"
                              : indicator(i, "[a:b = 1]");
    }
    text += "]";
    const auto rendered = check_json_document(text, "l", Report::rejections, 4);
    ASSERT_TRUE(rendered.has_value());
    EXPECT_EQ(rendered->accepted, static_cast<std::size_t>(many - 1));
    EXPECT_EQ(rendered->out.substr(0, rendered->out.find(':', 2)), "l:objects[" + std::to_string(many - 1) + "]");
}

struct FallbackCase {
    std::string name;
    std::string json;
};

class JsonFallbackTest : public testing::TestWithParam<FallbackCase> {};

TEST_P(JsonFallbackTest, UnusualDocumentsGoBackToTheChecker) {
    EXPECT_FALSE(check_json_document(GetParam().json, "f", Report::rejections, 2).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Unusual, JsonFallbackTest,
    testing::Values(FallbackCase{"broken", R"({"type": "bundle", "objects": [)"},
                    FallbackCase{"objects_not_a_list", R"({"type": "bundle", "objects": {}})"},
                    FallbackCase{"item_not_an_object", R"([{"type": "indicator", "pattern": "[a:b = 1]"}, 3])"},
                    FallbackCase{"pattern_not_a_string", R"([{"type": "indicator", "pattern": 5}])"},
                    FallbackCase{"nan", R"([{"type": "indicator", "pattern": NaN}])"},
                    FallbackCase{"lone_surrogate", R"([{"type": "indicator", "pattern": "\ud800"}])"},
                    FallbackCase{"scalar", "5"}),
    [](const auto& info) { return info.param.name; });

TEST(TextDocument, LinesKeepTheirNumbersAcrossPieces) {
    std::string text = "\xEF\xBB\xBF";
    for (int i = 1; i <= 200'000; ++i) {
        text += i % 50'000 == 0 ? "[a:b = ]\r\n" : i % 3 == 0 ? "  # comment\n" : i % 3 == 1 ? "\n" : "[a:b = 1]\n";
    }
    const auto one = check_text_document(text, "p", Report::rejections, 1);
    const auto four = check_text_document(text, "p", Report::rejections, 4);
    ASSERT_TRUE(one && four);
    EXPECT_EQ(four->out, one->out);
    EXPECT_EQ(four->rejected, 4U);
    EXPECT_EQ(four->out.substr(0, four->out.find(": ")), "p:50000");
    EXPECT_EQ(four->accepted, 66'665U);  // lines 2, 5, 8, ... but 50,000 and 200,000
}

TEST(TextDocument, PiecesOfAStreamAreNumberedFromTheirFirstLine) {
    // Past line 1 a byte order mark is not dropped: the checker's reader takes the piece.
    EXPECT_FALSE(check_text_document("\xEF\xBB\xBF[a:b = 1]\n", "p", Report::rejections, 2, {}, 41));
    const auto rendered = check_text_document("[a:b = ]\n\n[a:b = ]\n", "p", Report::rejections, 2, {}, 41);
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->rejected, 2U);
    EXPECT_TRUE(rendered->out.starts_with("p:41: ")) << rendered->out;
    EXPECT_NE(rendered->out.find("\n\np:43: "), std::string::npos) << rendered->out;
}

struct StrictCase {
    const char* name;
    Report report;
    std::vector<std::string> ignored;
    std::string out;
    std::string err;
};

class StrictRenderTest : public testing::TestWithParam<StrictCase> {};

TEST_P(StrictRenderTest, FindingsRejectThePatternInEveryReport) {
    const std::vector<Entry> entries{{.name = "f:1", .text = "[file:hashes.MD5 = 'ab']"},
                                     {.name = "f:2", .text = "[file:name = 'a']"}};
    const Rendered rendered = render_entries(entries, GetParam().report, 2, {true, GetParam().ignored});
    EXPECT_EQ(rendered.out, GetParam().out);
    EXPECT_EQ(rendered.err, GetParam().err);
    EXPECT_EQ(rendered.rejected, GetParam().ignored.empty() ? 1U : 0U);
}

constexpr const char* md5_message = "file:hashes.MD5 = 'ab': MD5 hashes are 32 hexadecimal digits";

INSTANTIATE_TEST_SUITE_P(
    Reports, StrictRenderTest,
    testing::Values(
        StrictCase{"text", Report::rejections, {}, std::string("f:1: strict checks failed:\n  hash-value: ") + md5_message + "\n\n", ""},
        StrictCase{"text_ignored", Report::rejections, {"hash-value"}, "", ""},
        StrictCase{"canonical",
                   Report::canonical,
                   {},
                   std::string(R"({"source": "f:1", "pattern": "[file:hashes.MD5 = 'ab']", "ok": false, "findings": )"
                               R"([{"code": "hash-value", "message": ")") + md5_message + R"(", "start": 1, "end": 23}]})" "\n"
                   R"({"source": "f:2", "pattern": "[file:name = 'a']", "ok": true, "canonical": "[file:name = 'a']", "findings": []})" "\n",
                   ""},
        StrictCase{"csv", Report::observables_csv, {}, "f:2,0,file,name,=,false,string,a,\r\n",
                   std::string("f:1: strict checks failed:\n  hash-value: ") + md5_message + "\n"}),
    [](const auto& info) { return info.param.name; });

TEST(TextDocument, OutputWrittenToAFileIsTheOutputReturned) {
    std::string text;
    for (int i = 1; i <= 20'000; ++i) {
        text += i % 7 == 0 ? "[a:b = ]\n" : "[a:b = " + std::to_string(i) + "]\n";
    }
    const auto returned = check_text_document(text, "p", Report::canonical, 1);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(returned && file);
    const auto written = check_text_document(text, "p", Report::canonical, 3, {.out_fd = fileno(file.get())});
    ASSERT_TRUE(written);
    EXPECT_EQ(written->out, "");
    std::string contents(returned->out.size() + 1, '\0');
    std::rewind(file.get());
    contents.resize(std::fread(contents.data(), 1, contents.size(), file.get()));
    EXPECT_EQ(contents, returned->out);
    EXPECT_EQ(std::tie(written->accepted, written->rejected), std::tie(returned->accepted, returned->rejected));
}

TEST(TextDocument, AFailedWriteIsReported) {
    const auto rendered = check_text_document("[a:b = 1]\n", "p", Report::canonical, 2, {.out_fd = 1'000'000});
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->write_error, EBADF);
}

TEST(TextDocument, HandsBackBytesThatAreNotUtf8) {
    EXPECT_FALSE(check_text_document("[a:b = 1]\n\x80\n", "p", Report::rejections, 2).has_value());
}

TEST(RenderEntries, ProblemsAndRejectionsAreReportedInOrder) {
    const std::vector<Entry> entries{{.name = "f", .label_kind = Entry::Label::line, .number = 1, .text = "[a:b = 1]"},
                                     {.name = "f:2", .problem = "no pattern", .pattern_json = "null"},
                                     {.name = "f", .label_kind = Entry::Label::text, .label = "3", .text = "[a:b = 'x']"}};
    const Rendered rendered = render_entries(entries, Report::canonical, 2);
    EXPECT_EQ(rendered.out,
              "{\"source\": \"f:1\", \"pattern\": \"[a:b = 1]\", \"ok\": true, \"canonical\": \"[a:b = 1]\"}\n"
              "{\"source\": \"f:2\", \"pattern\": null, \"ok\": false, \"error\": \"no pattern\"}\n"
              "{\"source\": \"f:3\", \"pattern\": \"[a:b = 'x']\", \"ok\": true, \"canonical\": \"[a:b = 'x']\"}\n");
    EXPECT_EQ(rendered.accepted, 2U);
    EXPECT_EQ(rendered.rejected, 1U);
}

}  // namespace
}  // namespace quarnel::tools
