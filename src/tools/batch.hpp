// Checking many patterns at once, on several threads, for the checker command.
//
// The output is made per entry and joined in input order, so it is the same whatever the
// number of threads.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::tools {

// What is written for each pattern.
enum class Report {
    rejections,        // "SOURCE: MESSAGE" and a blank line for each rejected pattern
    tree_json,         // a JSON record per pattern, with its tree or its error
    canonical,         // a JSON record per pattern, with its canonical text or its error
    inspection,        // a JSON record per pattern, with its inspection or its error
    observables_json,  // a JSON record per comparison; a JSON error record per rejection
    observables_csv,   // a CSV row per comparison; rejections go to the error stream
};

struct Entry {
    std::string source;                  // FILE:LINE or FILE:ID
    std::string text;                    // the pattern
    std::optional<std::string> problem;  // set when there is no pattern text to parse
    std::string pattern_json;            // with a problem: the JSON of the "pattern" field
};

struct Rendered {
    std::string out;
    std::string err;
    std::size_t accepted = 0;
    std::size_t rejected = 0;
    std::size_t skipped = 0;  // indicators in another pattern language
};

// Renders every entry with `jobs` threads (at least one).
Rendered render_entries(std::span<const Entry> entries, Report report, unsigned jobs);

// One whole input read and rendered as the checker does: a text file with a pattern per
// line (blank lines and '#' lines skipped), or a STIX JSON bundle, list or object. The
// reading is shared among the threads too. Nothing when the input holds anything out of
// the ordinary (bytes that are not UTF-8, broken or unusual JSON, non-string patterns):
// the checker's own reader then takes it and reports exactly what is wrong.
std::optional<Rendered> check_text_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs);
std::optional<Rendered> check_json_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs);

}  // namespace quarnel::tools
