#include "tools/batch.hpp"

#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "parser/builder.hpp"
#include "tools/canonical.hpp"
#include "tools/observables.hpp"
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

}  // namespace

Rendered render_entries(std::span<const Entry> entries, Report report, unsigned jobs) {
    const std::size_t chunks = (entries.size() + chunk_size - 1) / chunk_size;
    std::vector<Rendered> parts(chunks);
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> failures(std::max(jobs, 1U));
    const auto work = [&](unsigned worker) {
        try {
            for (std::size_t chunk = next++; chunk < chunks; chunk = next++) {
                const std::size_t end = std::min(entries.size(), (chunk + 1) * chunk_size);
                for (std::size_t i = chunk * chunk_size; i < end; ++i) {
                    render_entry(parts[chunk], entries[i], report);
                }
            }
        } catch (...) {
            failures[worker] = std::current_exception();
            next = chunks;  // the others stop at their next chunk
        }
    };
    {
        const unsigned helpers = static_cast<unsigned>(std::min<std::size_t>(failures.size(), chunks)) - (chunks > 0);
        std::vector<std::jthread> threads;
        for (unsigned worker = 1; worker <= helpers; ++worker) {
            threads.emplace_back(work, worker);
        }
        work(0);
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    Rendered whole;
    std::size_t out_size = 0, err_size = 0;
    for (const Rendered& part : parts) {
        out_size += part.out.size();
        err_size += part.err.size();
    }
    whole.out.reserve(out_size);
    whole.err.reserve(err_size);
    for (const Rendered& part : parts) {
        whole.out += part.out;
        whole.err += part.err;
        whole.accepted += part.accepted;
        whole.rejected += part.rejected;
    }
    return whole;
}

namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

// The whitespace that Python's str.strip() removes, within ASCII.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); }

}  // namespace

std::optional<Document> read_text_document(std::string_view data, std::string_view name) {
    if (data.starts_with(utf8_bom)) {
        data.remove_prefix(utf8_bom.size());
    }
    if (!simdjson::validate_utf8(data.data(), data.size())) {
        return std::nullopt;
    }
    Document document;
    std::size_t number = 0;
    while (!data.empty()) {
        ++number;
        const std::size_t end = data.find('\n');
        std::string_view line = data.substr(0, end);
        data = end == std::string_view::npos ? std::string_view{} : data.substr(end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const auto first = std::find_if_not(line.begin(), line.end(),
                                             [](char c) { return is_ascii_space(static_cast<unsigned char>(c)); });
        if (first == line.end() || *first == '#') {
            continue;
        }
        if (static_cast<unsigned char>(*first) >= 0x80) {
            return std::nullopt;  // perhaps Unicode spacing before a '#': the checker decides
        }
        document.entries.push_back({std::string(name) + ":" + std::to_string(number), std::string(line), {}, {}});
    }
    return document;
}

namespace {

// The last value of each key, as Python's json module keeps it.
struct IndicatorFields {
    std::optional<simdjson::dom::element> type, id, pattern_type, pattern;
};

IndicatorFields fields_of(simdjson::dom::object object) {
    IndicatorFields fields;
    for (const auto field : object) {
        const std::string_view key = field.key;
        if (key == "type") fields.type = field.value;
        else if (key == "id") fields.id = field.value;
        else if (key == "pattern_type") fields.pattern_type = field.value;
        else if (key == "pattern") fields.pattern = field.value;
    }
    return fields;
}

bool is_string(const std::optional<simdjson::dom::element>& element, std::string_view text) {
    return element && element->is_string() && std::string_view(*element) == text;
}

}  // namespace

std::optional<Document> read_json_document(std::string_view data, std::string_view name) {
    if (data.starts_with(utf8_bom)) {
        data.remove_prefix(utf8_bom.size());
    }
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(data);
    simdjson::dom::element root;
    if (parser.parse(padded).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    // A bundle's objects, a list of objects, or one object on its own.
    std::vector<simdjson::dom::element> items;
    if (root.is_array()) {
        for (const simdjson::dom::element item : simdjson::dom::array(root)) {
            items.push_back(item);
        }
    } else if (root.is_object()) {
        std::optional<simdjson::dom::element> type, members;
        for (const auto field : simdjson::dom::object(root)) {
            if (field.key == "type") type = field.value;
            if (field.key == "objects") members = field.value;
        }
        if (is_string(type, "bundle") && members) {
            if (!members->is_array()) {
                return std::nullopt;
            }
            for (const simdjson::dom::element item : simdjson::dom::array(*members)) {
                items.push_back(item);
            }
        } else {
            items.push_back(root);
        }
    } else {
        return std::nullopt;
    }
    Document document;
    for (std::size_t position = 0; position < items.size(); ++position) {
        if (!items[position].is_object()) {
            return std::nullopt;
        }
        const IndicatorFields fields = fields_of(items[position]);
        if (!is_string(fields.type, "indicator")) {
            continue;
        }
        if (fields.pattern_type && !is_string(fields.pattern_type, "stix")) {
            ++document.skipped;
            continue;
        }
        const std::string label = fields.id && fields.id->is_string()
                                      ? std::string(std::string_view(*fields.id))
                                      : "objects[" + std::to_string(position) + "]";
        Entry entry{std::string(name) + ":" + label, {}, {}, {}};
        if (!fields.pattern) {
            entry.problem = R"(the indicator has no "pattern")";
            entry.pattern_json = "null";
        } else if (!fields.pattern->is_string()) {
            return std::nullopt;  // how the record spells that value is the checker's business
        } else {
            entry.text = std::string(std::string_view(*fields.pattern));
        }
        document.entries.push_back(std::move(entry));
    }
    return document;
}

}  // namespace quarnel::tools
