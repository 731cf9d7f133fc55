// Reading whole inputs for the checker's engine: text lines and STIX JSON, shared among
// threads.
#include <simdjson.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "tools/batch.hpp"
#include "tools/parallel.hpp"

namespace quarnel::tools {

namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";
// Below this, one thread reads the whole input: splitting would cost more than it saves.
constexpr std::size_t split_below = 1 << 20;

// The whitespace that Python's str.strip() removes, within ASCII.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); }

std::string_view without_bom(std::string_view data) {
    if (data.starts_with(utf8_bom)) {
        data.remove_prefix(utf8_bom.size());
    }
    return data;
}

// Pieces for the threads to read: about `wanted` of them, each ending just after a '\n'.
std::vector<std::string_view> line_pieces(std::string_view data, std::size_t wanted) {
    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    for (std::size_t k = 1; k <= wanted && begin < data.size(); ++k) {
        std::size_t end = k == wanted ? data.size() : std::max(begin, data.size() / wanted * k);
        if (end < data.size()) {
            end = data.find('\n', end);
            end = end == std::string_view::npos ? data.size() : end + 1;
        }
        pieces.push_back(data.substr(begin, end - begin));
        begin = end;
    }
    return pieces;
}

struct TextPiece {
    std::size_t lines = 0;  // '\n' characters in the piece
    std::size_t first_line = 1;
    std::vector<Entry> entries;
    bool unusual = false;
};

// The lines of one piece as entries, numbered from piece.first_line.
void read_lines(std::string_view data, std::string_view name, TextPiece& piece) {
    std::size_t number = piece.first_line - 1;
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
            piece.unusual = true;  // perhaps Unicode spacing before a '#': the checker decides
            return;
        }
        piece.entries.push_back({.name = name, .label_kind = Entry::Label::line, .number = number, .text = line});
    }
}

std::vector<Entry> gathered(std::vector<std::vector<Entry>*> parts) {
    std::size_t total = 0;
    for (const auto* part : parts) {
        total += part->size();
    }
    std::vector<Entry> all;
    all.reserve(total);
    for (auto* part : parts) {
        std::move(part->begin(), part->end(), std::back_inserter(all));
        part->clear();
    }
    return all;
}

}  // namespace

std::optional<Rendered> check_text_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs, const CheckOptions& options, std::size_t first_line) {
    if (first_line == 1) {
        data = without_bom(data);
    }
    const std::vector<std::string_view> texts =
        line_pieces(data, data.size() < split_below ? 1 : std::size_t{jobs} * 4);
    std::vector<TextPiece> pieces(texts.size());
    // Each piece ends at a '\n', so no UTF-8 sequence spans two pieces.
    std::atomic<bool> valid{true};
    run_tasks(texts.size(), jobs, [&](std::size_t i) {
        if (!simdjson::validate_utf8(texts[i].data(), texts[i].size())) {
            valid = false;
        }
        pieces[i].lines = static_cast<std::size_t>(std::count(texts[i].begin(), texts[i].end(), '\n'));
    });
    if (!valid) {
        return std::nullopt;
    }
    if (!pieces.empty()) {
        pieces[0].first_line = first_line;
    }
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        pieces[i].first_line = pieces[i - 1].first_line + pieces[i - 1].lines;
    }
    run_tasks(texts.size(), jobs, [&](std::size_t i) {
        TextPiece piece{pieces[i].lines, pieces[i].first_line, {}, false};  // local: no false sharing
        read_lines(texts[i], name, piece);
        pieces[i] = std::move(piece);
    });
    std::vector<std::vector<Entry>*> parts;
    for (TextPiece& piece : pieces) {
        if (piece.unusual) {
            return std::nullopt;
        }
        parts.push_back(&piece.entries);
    }
    const std::vector<Entry> entries = gathered(parts);
    return render_entries(entries, report, jobs, options);
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

// The STIX objects of one piece of a document, as entries.
struct JsonPiece {
    std::vector<Entry> entries;
    std::size_t items = 0;
    std::size_t skipped = 0;
    bool unusual = false;
};

void read_items(const std::vector<simdjson::dom::element>& items, std::string_view name, JsonPiece& piece) {
    for (const simdjson::dom::element item : items) {
        const std::size_t position = piece.items++;
        if (!item.is_object()) {
            piece.unusual = true;
            return;
        }
        const IndicatorFields fields = fields_of(item);
        if (!is_string(fields.type, "indicator")) {
            continue;
        }
        if (fields.pattern_type && !is_string(fields.pattern_type, "stix")) {
            ++piece.skipped;
            continue;
        }
        Entry entry{.name = name, .label_kind = Entry::Label::position, .number = position};
        if (fields.id && fields.id->is_string()) {
            entry.label_kind = Entry::Label::text;
            entry.label = std::string_view(*fields.id);
        }
        if (!fields.pattern) {
            entry.problem = R"(the indicator has no "pattern")";
            entry.pattern_json = "null";
        } else if (!fields.pattern->is_string()) {
            piece.unusual = true;  // how the record spells that value is the checker's business
            return;
        } else {
            entry.text = std::string_view(*fields.pattern);
        }
        piece.entries.push_back(std::move(entry));
    }
}

std::vector<simdjson::dom::element> elements_of(simdjson::dom::array array) {
    std::vector<simdjson::dom::element> items;
    for (const simdjson::dom::element item : array) {
        items.push_back(item);
    }
    return items;
}

// The STIX objects of a whole document: a bundle's objects, a list, or the one object.
std::optional<std::vector<simdjson::dom::element>> stix_objects(simdjson::dom::element root) {
    if (root.is_array()) {
        return elements_of(root);
    }
    if (!root.is_object()) {
        return std::nullopt;
    }
    std::optional<simdjson::dom::element> type, members;
    for (const auto field : simdjson::dom::object(root)) {
        if (field.key == "type") type = field.value;
        if (field.key == "objects") members = field.value;
    }
    if (!is_string(type, "bundle") || !members) {
        return std::vector{root};
    }
    if (!members->is_array()) {
        return std::nullopt;
    }
    return elements_of(*members);
}

// How a document splits into pieces that parse on their own: the head up to the first
// split (closed by `head_closing`), the objects between splits (each wrapped in "[...]"),
// and the tail after the last split (opened by `tail_opening`).
struct Split {
    std::vector<std::string_view> pieces;
    std::string_view head_closing;
    std::string_view tail_opening;
};

std::size_t skip_space(std::string_view data, std::size_t at) {
    while (at < data.size() && (data[at] == ' ' || data[at] == '\n' || data[at] == '\r' || data[at] == '\t')) {
        ++at;
    }
    return at;
}

// A place where one STIX object seems to end and the next begin: "}", ",", "{" and a
// first key "type" (spacing between them allowed). Parsing the pieces proves it or not.
std::optional<std::size_t> next_boundary(std::string_view data, std::size_t from) {
    for (std::size_t at = data.find('}', from); at != std::string_view::npos; at = data.find('}', at + 1)) {
        std::size_t next = skip_space(data, at + 1);
        if (next >= data.size() || data[next] != ',') continue;
        next = skip_space(data, next + 1);
        if (next >= data.size() || data[next] != '{') continue;
        const std::size_t key = skip_space(data, next + 1);
        if (data.substr(key).starts_with("\"type\"")) {
            return next;
        }
    }
    return std::nullopt;
}

std::optional<Split> split_document(std::string_view data, std::size_t wanted) {
    const std::size_t start = skip_space(data, 0);
    if (start >= data.size() || (data[start] != '{' && data[start] != '[')) {
        return std::nullopt;
    }
    const bool bundle = data[start] == '{';
    Split split{{}, bundle ? "]}" : "]", bundle ? R"({"objects": [)" : "["};
    std::size_t begin = 0;
    for (std::size_t k = 1; k < wanted; ++k) {
        const auto boundary = next_boundary(data, std::max(begin + 1, data.size() / wanted * k));
        if (!boundary) {
            break;
        }
        // The piece ends at the "}" before the comma.
        const std::size_t comma = data.rfind(',', *boundary);
        split.pieces.push_back(data.substr(begin, data.rfind('}', comma) + 1 - begin));
        begin = *boundary;
    }
    split.pieces.push_back(data.substr(begin));
    return split;
}

struct ParsedPiece {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    bool ok = false;
};

// The head piece must be the start of a bundle whose last key so far is its objects.
std::optional<std::vector<simdjson::dom::element>> head_objects(simdjson::dom::element root, bool bundle,
                                                                bool& is_bundle) {
    if (!bundle) {
        return elements_of(root);
    }
    std::optional<std::string_view> last_key;
    std::optional<simdjson::dom::element> last_value;
    for (const auto field : simdjson::dom::object(root)) {
        last_key = field.key;
        last_value = field.value;
        if (field.key == "type") is_bundle = is_string(field.value, "bundle");
    }
    if (last_key != "objects" || !last_value->is_array()) {
        return std::nullopt;
    }
    return elements_of(*last_value);
}

std::optional<Rendered> check_split_json(std::string_view data, std::string_view name, Report report,
                                         unsigned jobs, const CheckOptions& options) {
    const std::optional<Split> split = split_document(data, std::size_t{jobs} * 2);
    if (!split || split->pieces.size() < 2) {
        return std::nullopt;
    }
    const std::size_t count = split->pieces.size();
    const bool bundle = split->head_closing.size() == 2;
    std::vector<ParsedPiece> parsed(count);
    std::vector<JsonPiece> pieces(count);
    bool head_bundle = false;
    std::optional<bool> tail_bundle;  // set when the tail has a "type" of its own
    bool tail_objects_once = true;
    std::atomic<bool> failed{false};
    run_tasks(count, jobs, [&](std::size_t i) {
        std::string text;
        text.reserve(split->pieces[i].size() + simdjson::SIMDJSON_PADDING + 16);
        text += i == 0 ? "" : i + 1 == count ? split->tail_opening : "[";
        text += split->pieces[i];
        text += i + 1 == count ? "" : i == 0 ? split->head_closing : "]";
        // The objects between splits stand a level higher than in the whole bundle: the same
        // nesting limit must hold for them as for a whole-document read.
        const bool raised = bundle && i > 0 && i + 1 < count;
        if (parsed[i].parser.allocate(text.size(), simdjson::DEFAULT_MAX_DEPTH - (raised ? 1 : 0)) !=
                simdjson::SUCCESS ||
            parsed[i].parser.parse(text).get(parsed[i].root) != simdjson::SUCCESS) {
            failed = true;
            return;
        }
        std::optional<std::vector<simdjson::dom::element>> items;
        if (i == 0) {
            items = head_objects(parsed[i].root, bundle, head_bundle);
        } else if (i + 1 == count && bundle) {
            std::size_t objects_keys = 0;
            for (const auto field : simdjson::dom::object(parsed[i].root)) {
                if (field.key == "objects") {
                    ++objects_keys;
                    items = field.value.is_array() ? std::optional(elements_of(field.value)) : std::nullopt;
                }
                if (field.key == "type") tail_bundle = is_string(field.value, "bundle");
            }
            tail_objects_once = objects_keys == 1;
        } else {
            items = elements_of(parsed[i].root);
        }
        if (!items) {
            failed = true;
            return;
        }
        JsonPiece piece;  // local: neighbouring pieces share cache lines across threads
        read_items(*items, name, piece);
        pieces[i] = std::move(piece);
    });
    // A "type" after the objects overrides one before them, as in a Python dict.
    const bool is_bundle = !bundle || tail_bundle.value_or(head_bundle);
    if (failed || !tail_objects_once || !is_bundle) {
        return std::nullopt;
    }
    std::size_t offset = 0;
    std::size_t skipped = 0;
    std::vector<std::vector<Entry>*> parts;
    for (JsonPiece& piece : pieces) {
        if (piece.unusual) {
            return std::nullopt;
        }
        for (Entry& entry : piece.entries) {
            if (entry.label_kind == Entry::Label::position) {
                entry.number += offset;  // counted within the piece so far
            }
        }
        offset += piece.items;
        skipped += piece.skipped;
        parts.push_back(&piece.entries);
    }
    const std::vector<Entry> entries = gathered(parts);  // their texts live in `parsed`
    Rendered rendered = render_entries(entries, report, jobs, options);
    rendered.skipped = skipped;
    return rendered;
}

}  // namespace

std::optional<Rendered> check_json_document(std::string_view data, std::string_view name, Report report,
                                            unsigned jobs, const CheckOptions& options) {
    data = without_bom(data);
    if (jobs > 1 && data.size() >= split_below) {
        if (auto rendered = check_split_json(data, name, report, jobs, options)) {
            return rendered;
        }
    }
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(simdjson::padded_string(data)).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    const auto items = stix_objects(root);
    if (!items) {
        return std::nullopt;
    }
    JsonPiece piece;
    read_items(*items, name, piece);
    if (piece.unusual) {
        return std::nullopt;
    }
    Rendered rendered = render_entries(piece.entries, report, jobs, options);
    rendered.skipped = piece.skipped;
    return rendered;
}

namespace {

// Reads [offset, offset + size) of the file into `into`; false on an error or a short read.
bool read_range(int fd, std::size_t offset, std::size_t size, char* into) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        const auto count = static_cast<std::size_t>(got);
        into += count;
        offset += count;
        size -= count;
    }
    return true;
}

std::optional<std::size_t> file_size(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(status.st_size);
}

}  // namespace

std::optional<FileBytes> read_file(int fd, std::size_t offset, unsigned jobs) {
    const std::optional<std::size_t> size = file_size(fd);
    if (!size || *size < offset) {
        return std::nullopt;
    }
    FileBytes file{std::make_unique_for_overwrite<char[]>(*size - offset + 1), *size - offset};
    const std::size_t pieces = file.size < split_below ? 1 : jobs;
    const std::size_t piece = file.size / pieces + 1;
    std::atomic<bool> complete{true};
    run_tasks(pieces, jobs, [&](std::size_t i) {
        const std::size_t begin = std::min(file.size, i * piece);
        const std::size_t end = std::min(file.size, begin + piece);
        if (!read_range(fd, offset + begin, end - begin, file.bytes.get() + begin)) {
            complete = false;
        }
    });
    // A file that grew or shrank meanwhile is the ordinary reader's to take.
    if (!complete || file_size(fd) != size) {
        return std::nullopt;
    }
    return file;
}

bool starts_json_document(std::string_view data) {
    data = without_bom(data);
    data.remove_prefix(skip_space(data, 0));
    if (data.starts_with('{')) {
        return true;
    }
    if (!data.starts_with('[')) {
        return false;
    }
    const std::size_t next = skip_space(data, 1);
    return next < data.size() && (data[next] == '{' || data[next] == ']');
}

}  // namespace quarnel::tools
