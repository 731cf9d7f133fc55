#include "tools/batch.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <utility>

#include "parser/builder.hpp"
#include "tools/canonical.hpp"
#include "tools/observables.hpp"
#include "tools/parallel.hpp"
#include "tools/spelling.hpp"
#include "tools/strict.hpp"
#include "tools/tree_json.hpp"

namespace quarnel::tools {

namespace {

constexpr std::size_t chunk_size = 256;

void append_record_head(std::string& out, const Entry& entry) {
    out += R"({"source": )";
    append_json_string(out, source_of(entry));
    out += R"(, "pattern": )";
    if (entry.problem) {
        out += entry.pattern_json;
    } else {
        append_json_string(out, entry.text);
    }
}

void append_error_record(std::string& out, const Entry& entry, std::string_view message) {
    append_record_head(out, entry);
    out += R"(, "ok": false, "error": )";
    append_json_string(out, message);
    out += "}\n";
}

void reject(Rendered& rendered, const Entry& entry, Report report, std::string_view message) {
    ++rendered.rejected;
    switch (report) {
        case Report::rejections:
            rendered.out += source_of(entry) + ": ";
            rendered.out += message;
            rendered.out += "\n\n";
            break;
        case Report::observables_csv:
            rendered.err += source_of(entry) + ": ";
            rendered.err += message;
            rendered.err += '\n';
            break;
        default:
            append_error_record(rendered.out, entry, message);
    }
}

// Findings as a JSON array; offsets count characters, as Python indexes the text.
void append_findings_json(std::string& out, std::string_view text, const std::vector<Finding>& findings) {
    std::size_t byte = 0, characters = 0;
    const auto character_offset = [&](std::optional<std::size_t> offset) {
        if (!offset) {
            out += "null";
            return;
        }
        const std::size_t target = std::min(*offset, text.size());
        for (; byte > target; --byte) {  // findings come in text order, rarely backwards
            characters -= (static_cast<unsigned char>(text[byte - 1]) & 0xC0) != 0x80 ? 1 : 0;
        }
        for (; byte < target; ++byte) {
            characters += (static_cast<unsigned char>(text[byte]) & 0xC0) != 0x80 ? 1 : 0;
        }
        out += std::to_string(characters);
    };
    out += '[';
    for (const Finding& finding : findings) {
        out += &finding == findings.data() ? R"({"code": )" : R"(, {"code": )";
        append_json_string(out, finding.code);
        out += R"(, "message": )";
        append_json_string(out, finding.message);
        out += R"(, "start": )";
        character_offset(finding.begin);
        out += R"(, "end": )";
        character_offset(finding.end);
        out += '}';
    }
    out += ']';
}

// "SOURCE: strict checks failed:" and a line per finding.
void append_findings_text(std::string& out, const Entry& entry, const std::vector<Finding>& findings) {
    out += source_of(entry) + ": strict checks failed:";
    for (const Finding& finding : findings) {
        out += "\n  ";
        out += finding.code;
        out += ": ";
        out += finding.message;
    }
    out += '\n';
}

void reject_for_findings(Rendered& rendered, const Entry& entry, Report report, const std::vector<Finding>& findings) {
    ++rendered.rejected;
    switch (report) {
        case Report::rejections:
            append_findings_text(rendered.out, entry, findings);
            rendered.out += '\n';
            break;
        case Report::observables_csv:
            append_findings_text(rendered.err, entry, findings);
            break;
        default:
            append_record_head(rendered.out, entry);
            rendered.out += R"(, "ok": false, "findings": )";
            append_findings_json(rendered.out, entry.text, findings);
            rendered.out += "}\n";
    }
}

// A record of an accepted pattern: the head, `"ok": true`, one more field and, under the
// strict checks, their empty list of findings.
template <typename Write>
void append_accepted_record(std::string& out, const Entry& entry, const char* field, bool strict, Write&& write) {
    append_record_head(out, entry);
    out += R"(, "ok": true, ")";
    out += field;
    out += "\": ";
    write(out);
    out += strict ? R"(, "findings": []})" "\n" : "}\n";
}

void render_accepted(Rendered& rendered, const Entry& entry, Report report, bool strict,
                     const ast::PatternExpr& tree) {
    switch (report) {
        case Report::rejections:
            break;
        case Report::tree_json:
            append_accepted_record(rendered.out, entry, "tree", strict,
                                   [&](std::string& out) { append_tree_json(out, tree); });
            break;
        case Report::canonical: {
            std::string canonical;
            try {
                canonical = canonical_text(tree);
            } catch (const NoCanonicalText& error) {
                reject(rendered, entry, report, error.what());
                return;
            }
            append_accepted_record(rendered.out, entry, "canonical", strict,
                                   [&](std::string& out) { append_json_string(out, canonical); });
            break;
        }
        case Report::inspection:
            append_accepted_record(rendered.out, entry, "inspection", strict,
                                   [&](std::string& out) { append_json(out, inspection_of(tree)); });
            break;
        case Report::observables_json:
            for (const Observable& observable : observables_of(tree)) {
                Value record = to_value(observable);
                auto& fields = std::get<Object>(record.data);
                fields.insert(fields.begin(), {"source", Value{source_of(entry)}});
                append_json(rendered.out, record);
                rendered.out += '\n';
            }
            break;
        case Report::observables_csv:
            for (const Observable& observable : observables_of(tree)) {
                append_csv_row(rendered.out, source_of(entry), observable);
            }
            break;
    }
    ++rendered.accepted;
}

void drop_ignored(std::vector<Finding>& findings, const CheckOptions& options) {
    std::erase_if(findings, [&](const Finding& finding) {
        return std::find(options.ignored.begin(), options.ignored.end(), finding.code) != options.ignored.end();
    });
}

// The findings of an accepted pattern whose codes are not switched off.
std::vector<Finding> strict_findings_of(std::string_view text, const CheckOptions& options) {
    auto result = strict_findings(text);
    if (!result.ok()) {
        return {};  // the pattern parsed a moment ago: it cannot be rejected now
    }
    std::vector<Finding> findings = std::move(result.value());
    drop_ignored(findings, options);
    return findings;
}

// The default report under the strict checks, from one parse of the text.
void render_strict_rejections(Rendered& rendered, const Entry& entry, const CheckOptions& options) {
    auto result = strict_findings(entry.text);
    if (!result.ok()) {
        reject(rendered, entry, Report::rejections, result.error().message());
        return;
    }
    drop_ignored(result.value(), options);
    if (!result.value().empty()) {
        reject_for_findings(rendered, entry, Report::rejections, result.value());
        return;
    }
    ++rendered.accepted;
}

void render_entry(Rendered& rendered, const Entry& entry, Report report, const CheckOptions& options) {
    if (entry.problem) {
        reject(rendered, entry, report, *entry.problem);
        return;
    }
    if (options.strict && report == Report::rejections) {
        render_strict_rejections(rendered, entry, options);  // no tree needed
        return;
    }
    const auto result = parser::parse_shared_pattern(entry.text);  // only read, then dropped
    if (!result.ok()) {
        reject(rendered, entry, report, result.error().message());
        return;
    }
    if (options.strict) {
        const std::vector<Finding> findings = strict_findings_of(entry.text, options);
        if (!findings.empty()) {
            reject_for_findings(rendered, entry, report, findings);
            return;
        }
    }
    render_accepted(rendered, entry, report, options.strict, *result.value());
}

// Writes the chunks' output to a file descriptor in chunk order, as soon as every chunk
// before has been written: whichever thread finds the next chunk ready writes it, and the
// others carry on rendering meanwhile.
class OrderedWriter {
public:
    OrderedWriter(int fd, std::size_t chunks) : fd_(fd), ready_(chunks) {}

    void deliver(std::size_t chunk, std::string out) {
        std::unique_lock lock(mutex_);
        ready_[chunk] = std::move(out);
        if (writing_) {
            return;  // the thread that writes will come to it
        }
        writing_ = true;
        while (next_ < ready_.size() && ready_[next_]) {
            const std::string piece = std::move(*ready_[next_]);
            ready_[next_++].reset();
            lock.unlock();
            write_all(piece);
            lock.lock();
        }
        writing_ = false;
    }

    // The errno of the first failed write; once set, the rest is not written.
    int error() const { return error_.load(std::memory_order_relaxed); }

private:
    void write_all(std::string_view data) {
        while (!data.empty() && error() == 0) {
            const ssize_t written = ::write(fd_, data.data(), data.size());
            if (written >= 0) {
                data.remove_prefix(static_cast<std::size_t>(written));
            } else if (errno != EINTR) {
                error_ = errno;
            }
        }
    }

    const int fd_;
    std::mutex mutex_;
    std::vector<std::optional<std::string>> ready_;
    std::size_t next_ = 0;
    bool writing_ = false;
    std::atomic<int> error_{0};
};

Rendered joined(std::vector<Rendered>& parts) {
    Rendered whole;
    std::size_t out_size = 0, err_size = 0;
    for (const Rendered& part : parts) {
        out_size += part.out.size();
        err_size += part.err.size();
    }
    whole.out.reserve(out_size);
    whole.err.reserve(err_size);
    for (Rendered& part : parts) {
        whole.out += part.out;
        whole.err += part.err;
        whole.accepted += part.accepted;
        whole.rejected += part.rejected;
        whole.skipped += part.skipped;
        part = {};
    }
    return whole;
}

}  // namespace

std::string source_of(const Entry& entry) {
    std::string source(entry.name);
    switch (entry.label_kind) {
        case Entry::Label::whole: break;
        case Entry::Label::text: source += ':'; source += entry.label; break;
        case Entry::Label::line: source += ':' + std::to_string(entry.number); break;
        case Entry::Label::position: source += ":objects[" + std::to_string(entry.number) + "]"; break;
    }
    return source;
}

Rendered render_entries(std::span<const Entry> entries, Report report, unsigned jobs, const CheckOptions& options) {
    const std::size_t chunks = (entries.size() + chunk_size - 1) / chunk_size;
    std::vector<Rendered> parts(chunks);
    std::optional<OrderedWriter> writer;
    if (options.out_fd >= 0) {
        writer.emplace(options.out_fd, chunks);
    }
    run_tasks(chunks, jobs, [&](std::size_t chunk) {
        if (writer && writer->error() != 0) {
            return;  // the reader has gone: nothing more to make
        }
        // Counted in a local record: neighbouring parts share cache lines across threads.
        Rendered part;
        const std::size_t end = std::min(entries.size(), (chunk + 1) * chunk_size);
        for (std::size_t i = chunk * chunk_size; i < end; ++i) {
            render_entry(part, entries[i], report, options);
        }
        if (writer) {
            writer->deliver(chunk, std::exchange(part.out, {}));
        }
        parts[chunk] = std::move(part);
    });
    Rendered rendered = joined(parts);
    rendered.write_error = writer ? writer->error() : 0;
    return rendered;
}

}  // namespace quarnel::tools
