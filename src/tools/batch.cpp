#include "tools/batch.hpp"

#include "parser/builder.hpp"
#include "tools/canonical.hpp"
#include "tools/observables.hpp"
#include "tools/parallel.hpp"
#include "tools/spelling.hpp"
#include "tools/tree_json.hpp"

namespace quarnel::tools {

namespace {

constexpr std::size_t chunk_size = 256;

void append_record_head(std::string& out, const Entry& entry) {
    out += R"({"source": )";
    append_json_string(out, entry.source);
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
            rendered.out += entry.source + ": ";
            rendered.out += message;
            rendered.out += "\n\n";
            break;
        case Report::observables_csv:
            rendered.err += entry.source + ": ";
            rendered.err += message;
            rendered.err += '\n';
            break;
        default:
            append_error_record(rendered.out, entry, message);
    }
}

// A record of an accepted pattern: the head, `"ok": true` and one more field.
template <typename Write>
void append_accepted_record(std::string& out, const Entry& entry, const char* field, Write&& write) {
    append_record_head(out, entry);
    out += R"(, "ok": true, ")";
    out += field;
    out += "\": ";
    write(out);
    out += "}\n";
}

void render_accepted(Rendered& rendered, const Entry& entry, Report report, const ast::PatternExpr& tree) {
    switch (report) {
        case Report::rejections:
            break;
        case Report::tree_json:
            append_accepted_record(rendered.out, entry, "tree", [&](std::string& out) { append_tree_json(out, tree); });
            break;
        case Report::canonical: {
            std::string canonical;
            try {
                canonical = canonical_text(tree);
            } catch (const NoCanonicalText& error) {
                reject(rendered, entry, report, error.what());
                return;
            }
            append_accepted_record(rendered.out, entry, "canonical",
                                   [&](std::string& out) { append_json_string(out, canonical); });
            break;
        }
        case Report::inspection:
            append_accepted_record(rendered.out, entry, "inspection",
                                   [&](std::string& out) { append_json(out, inspection_of(tree)); });
            break;
        case Report::observables_json:
            for (const Observable& observable : observables_of(tree)) {
                Value record = to_value(observable);
                auto& fields = std::get<Object>(record.data);
                fields.insert(fields.begin(), {"source", Value{entry.source}});
                append_json(rendered.out, record);
                rendered.out += '\n';
            }
            break;
        case Report::observables_csv:
            for (const Observable& observable : observables_of(tree)) {
                append_csv_row(rendered.out, entry.source, observable);
            }
            break;
    }
    ++rendered.accepted;
}

void render_entry(Rendered& rendered, const Entry& entry, Report report) {
    if (entry.problem) {
        reject(rendered, entry, report, *entry.problem);
        return;
    }
    const auto result = parser::parse_pattern(entry.text);
    if (!result.ok()) {
        reject(rendered, entry, report, result.error().message());
        return;
    }
    render_accepted(rendered, entry, report, result.value());
}

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

Rendered render_entries(std::span<const Entry> entries, Report report, unsigned jobs) {
    const std::size_t chunks = (entries.size() + chunk_size - 1) / chunk_size;
    std::vector<Rendered> parts(chunks);
    run_tasks(chunks, jobs, [&](std::size_t chunk) {
        // Counted in a local record: neighbouring parts share cache lines across threads.
        Rendered part;
        const std::size_t end = std::min(entries.size(), (chunk + 1) * chunk_size);
        for (std::size_t i = chunk * chunk_size; i < end; ++i) {
            render_entry(part, entries[i], report);
        }
        parts[chunk] = std::move(part);
    });
    return joined(parts);
}

}  // namespace quarnel::tools
