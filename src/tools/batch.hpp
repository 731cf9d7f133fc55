// Checking many patterns at once, on several threads, for the checker command.
//
// The output is made per entry and joined in input order, so it is the same whatever the
// number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// One pattern to check. Everything is borrowed from the input and its reader, which outlive
// the rendering; nothing is allocated per entry, and the source text is made only where the
// report writes it.
struct Entry {
    enum class Label : std::uint8_t {
        whole,     // `name` is the whole source
        text,      // NAME:LABEL, e.g. an indicator id
        line,      // NAME:NUMBER
        position,  // NAME:objects[NUMBER]
    };
    std::string_view name{};
    Label label_kind = Label::whole;
    std::string_view label{};
    std::size_t number = 0;
    std::string_view text{};                    // the pattern
    std::optional<std::string_view> problem{};  // set when there is no pattern text to parse
    std::string_view pattern_json{};            // with a problem: the JSON of the "pattern" field
};

// What a check does beyond its report.
struct CheckOptions {
    // The strict checks: a pattern with a finding whose code is not ignored counts as
    // rejected, and its findings are reported instead of (or, in JSON records, beside) what
    // the report writes for an accepted pattern.
    bool strict = false;
    std::vector<std::string> ignored{};  // strict-check codes switched off
    // Where the output goes: when set, this file descriptor, written in input order as the
    // threads make it, with no copy of the whole (Rendered::out stays empty).
    int out_fd = -1;
};

// FILE:LINE, FILE:ID or FILE:objects[N].
std::string source_of(const Entry& entry);

struct Rendered {
    std::string out;
    std::string err;
    std::size_t accepted = 0;
    std::size_t rejected = 0;
    std::size_t skipped = 0;  // indicators in another pattern language
    int write_error = 0;      // the errno of a failed write to CheckOptions::out_fd
};

// Renders every entry with `jobs` threads (at least one).
Rendered render_entries(std::span<const Entry> entries, Report report, unsigned jobs, const CheckOptions& options = {});

// One whole input read and rendered as the checker does: a text file with a pattern per
// line (blank lines and '#' lines skipped), or a STIX JSON bundle, list or object. The
// reading is shared among the threads too. Nothing when the input holds anything out of
// the ordinary (bytes that are not UTF-8, broken or unusual JSON, non-string patterns):
// the checker's own reader then takes it and reports exactly what is wrong.
// A text input may come in pieces of whole lines (a stream): `first_line` numbers the
// piece's first line, and only line 1 may start with a byte order mark.
std::optional<Rendered> check_text_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs, const CheckOptions& options = {},
                                            std::size_t first_line = 1);
std::optional<Rendered> check_json_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs, const CheckOptions& options = {});

// A file's bytes from `offset` to its end, read by `jobs` threads at once (each reading and
// so first touching its own part of the memory). Nothing when it cannot be read or its size
// changes meanwhile: the caller then reads it the ordinary way.
struct FileBytes {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;

    std::string_view view() const { return {bytes.get(), size}; }
};
std::optional<FileBytes> read_file(int fd, std::size_t offset, unsigned jobs);

// Whether an input's bytes start a JSON document ('{', or '[' followed by '{' or ']'); no
// line of patterns can start so.
bool starts_json_document(std::string_view data);

}  // namespace quarnel::tools
