#include "match/observations.hpp"

#include <algorithm>
#include <array>

namespace quarnel::match {

namespace {

constexpr std::array<std::string_view, 25> non_sco_types{
    "attack-pattern", "bundle", "campaign", "course-of-action", "extension-definition",
    "grouping", "identity", "incident", "indicator", "infrastructure", "intrusion-set",
    "language-content", "location", "malware", "malware-analysis", "marking-definition",
    "note", "observed-data", "opinion", "relationship", "report", "sighting",
    "threat-actor", "tool", "vulnerability"};

// Properties whose values are dictionaries: their keys are not property names.
constexpr std::array<std::string_view, 10> dictionary_properties{
    "hashes", "file_header_hashes", "environment_variables", "startup_info",
    "additional_header_fields", "request_header", "document_info_dict", "exif_tags",
    "ipfix", "options"};

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

static_assert(std::is_sorted(non_sco_types.begin(), non_sco_types.end()));

bool is_non_sco(std::string_view type) {
    return std::binary_search(non_sco_types.begin(), non_sco_types.end(), type);
}

bool is_dictionary(std::string_view name) {
    return std::find(dictionary_properties.begin(), dictionary_properties.end(), name) !=
           dictionary_properties.end();
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

DataError data_error(DataErrorKind kind, std::string message) { return {kind, std::move(message)}; }

// Walks records and pool objects of one store, validating and decoding as it goes.
class Checker {
public:
    explicit Checker(Store& store) : store_(store) {}

    std::string_view text(std::uint32_t node) const { return store_.text(store_.node(node)); }
    Kind kind(std::uint32_t node) const { return store_.node(node).kind; }
    std::string loc(std::uint32_t node) const { return store_.location(node); }

    std::optional<DataError> missing(std::uint32_t object, std::string_view name) const {
        return data_error(DataErrorKind::MissingProperty,
                          loc(object) + ": missing required property \"" + std::string(name) + "\"");
    }
    std::optional<DataError> wrong_type(std::uint32_t member, std::string_view expected) const {
        return data_error(DataErrorKind::WrongType, loc(member) + ": property \"" +
                                                        std::string(store_.name(store_.node(member))) +
                                                        "\" must be " + std::string(expected));
    }

    // A string member that must be present.
    std::optional<DataError> string_member(std::uint32_t object, Known known, std::string_view name,
                                           std::uint32_t& out) const {
        out = store_.member(object, known);
        if (out == no_node) return missing(object, name);
        if (kind(out) != Kind::String) return wrong_type(out, "a string");
        return std::nullopt;
    }

    // The typed-property rules over one object and everything below it.
    std::optional<DataError> typed_properties(std::uint32_t object) {
        if (!store_.node(object).typed_below) return std::nullopt;
        if (name_traits_.size() < store_.name_count()) name_traits_.resize(store_.name_count(), unknown);
        std::vector<std::pair<std::uint32_t, bool>>& pending = pending_;  // node, names count
        pending.assign(1, {object, true});
        while (!pending.empty()) {
            const auto [at, names_count] = pending.back();
            pending.pop_back();
            const Node& node = store_.node(at);
            if (node.kind != Kind::Object && node.kind != Kind::List) continue;
            for (const std::uint32_t* c = store_.child_end(node); c-- != store_.child_begin(node);) {
                const Node& child = store_.node(*c);
                bool child_names_count = true;
                if (node.kind == Kind::Object && names_count) {
                    const std::uint8_t traits = name_traits(child.name);
                    if (traits & typed) {
                        if (auto error = typed_member(*c, store_.name(child))) return error;
                    }
                    if (traits & dictionary) child_names_count = false;
                }
                if (node.kind == Kind::List) child_names_count = names_count;
                if (child.typed_below) {
                    pending.emplace_back(*c, child_names_count);
                }
            }
        }
        return std::nullopt;
    }

private:
    static constexpr std::uint8_t typed = 1, dictionary = 2, unknown = 0x80;

    // What a member name says about its value, worked out once per distinct name.
    std::uint8_t name_traits(std::uint32_t id) {
        std::uint8_t& traits = name_traits_[id];
        if (traits == unknown) {
            const std::string_view name = store_.name_text(id);
            traits = store_.typed_name(id) ? typed : 0;
            if (is_dictionary(name)) traits |= dictionary;
        }
        return traits;
    }

    std::optional<DataError> typed_member(std::uint32_t member, std::string_view name) {
        if (ends_with(name, "_hex")) return binary(member, name, false);
        if (ends_with(name, "_bin")) return binary(member, name, true);
        if (ends_with(name, "_ref")) {
            if (kind(member) != Kind::String) return bad_reference(member, name, "a string");
        } else if (ends_with(name, "_refs")) {
            const Node& node = store_.node(member);
            bool ok = node.kind == Kind::List;
            for (const std::uint32_t* c = store_.child_begin(node); ok && c != store_.child_end(node); ++c) {
                ok = kind(*c) == Kind::String;
            }
            if (!ok) return bad_reference(member, name, "an array of strings");
        }
        return std::nullopt;
    }

    std::optional<DataError> bad_reference(std::uint32_t member, std::string_view name,
                                           std::string_view expected) const {
        return data_error(DataErrorKind::InvalidReference,
                          loc(member) + ": reference property \"" + std::string(name) +
                              "\" must hold " + std::string(expected));
    }

    std::optional<DataError> binary(std::uint32_t member, std::string_view name, bool base64) {
        const auto invalid = [&](std::uint32_t at) {
            return data_error(DataErrorKind::InvalidBinary,
                              loc(at) + ": property \"" + std::string(name) + "\" is not valid " +
                                  (base64 ? "base64" : "hex"));
        };
        const Node& node = store_.node(member);
        if (node.kind == Kind::String) {
            if (!decode(member, base64)) return invalid(member);
            return std::nullopt;
        }
        if (node.kind != Kind::List) return invalid(member);
        for (const std::uint32_t* c = store_.child_begin(node); c != store_.child_end(node); ++c) {
            if (kind(*c) != Kind::String || !decode(*c, base64)) return invalid(*c);
        }
        return std::nullopt;
    }

    // Turns a String node into a Binary node holding the decoded bytes.
    bool decode(std::uint32_t at, bool base64) {
        const std::string_view digits = text(at);
        std::string out;
        if (base64 ? !decode_base64(digits, out) : !decode_hex(digits, out)) return false;
        Node& node = store_.nodes[at];
        node.kind = Kind::Binary;
        node.decoded = static_cast<std::uint32_t>(store_.decoded.size());
        store_.decoded.push_back({static_cast<std::uint32_t>(store_.bytes.size()), static_cast<std::uint32_t>(out.size())});
        store_.bytes += out;
        return true;
    }

    Store& store_;
    std::vector<std::pair<std::uint32_t, bool>> pending_;
    std::vector<std::uint8_t> name_traits_;  // by name id

public:
    static bool decode_hex(std::string_view digits, std::string& out) {
        if (digits.size() % 2 != 0) return false;
        out.reserve(digits.size() / 2);
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            const int high = hex_value(digits[i]);
            const int low = hex_value(digits[i + 1]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
        }
        return true;
    }

    static bool decode_base64(std::string_view digits, std::string& out) {
        if (digits.size() % 4 != 0) return false;
        std::size_t padding = 0;
        if (!digits.empty() && digits.back() == '=') ++padding;
        if (digits.size() >= 2 && digits[digits.size() - 2] == '=') ++padding;
        if (padding == 1 && digits.size() >= 2 && digits[digits.size() - 2] == '=') return false;
        const std::size_t data = digits.size() - padding;
        std::uint32_t buffer = 0;
        int bits = 0;
        for (std::size_t i = 0; i < data; ++i) {
            const int value = base64_value(digits[i]);
            if (value < 0) return false;
            buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out += static_cast<char>((buffer >> bits) & 0xFF);
            }
        }
        return true;
    }
};

}  // namespace

bool decode_hex_text(std::string_view digits, std::string& out) { return Checker::decode_hex(digits, out); }
bool decode_base64_text(std::string_view digits, std::string& out) {
    return Checker::decode_base64(digits, out);
}

std::uint32_t ObservationSet::resolve(const Record& record, std::string_view key) const {
    const auto first = scope_.begin() + record.scope_first;
    const auto last = first + record.scope_count;
    const auto at = std::lower_bound(first, last, key,
                                     [](const ScopeEntry& e, std::string_view k) { return e.key < k; });
    return at != last && at->key == key ? at->node : no_node;
}

std::string_view ObservationSet::id(const Record& record) const {
    return record.id_node == no_node ? std::string_view() : store_->text(store_->node(record.id_node));
}

std::string ObservationSet::describe(std::uint32_t index) const {
    std::string out = "observed-data #" + std::to_string(index);
    const Record& record = records_[index];
    if (record.id_node != no_node) out += " (" + std::string(id(record)) + ")";
    return out;
}

Loader::Loader(LoadOptions options, JsonReader* reader) : options_(options), reader_(reader) {}

void Loader::add_json(std::string_view text) {
    const std::uint32_t input = next_input_++;
    if (error_) return;
    error_ = reader_ != nullptr ? reader_->read(*set_.store_, text, input, options_.max_depth)
                                : read_json_strict(*set_.store_, text, input, options_.max_depth);
}

Builder Loader::begin_value() { return Builder(*set_.store_, next_input_++, options_.max_depth); }

void Loader::end_value(Builder& builder, bool ok) {
    if (error_) return;
    if (!ok) {
        error_ = builder.error();
        builder.discard();
        return;
    }
    builder.finish();
}

namespace {

// Pool objects by id: open addressing over one flat array, sized once, no node per entry.
// Lookups come in batches with their hashes known ahead, so slots can be fetched early.
class PoolTable {
public:
    struct Entry {
        std::uint64_t hash = 0;
        std::string_view id;
        std::uint32_t node = no_node;
        std::uint32_t listed_by = 0;  // 1 + the last record candidate that lists the object
    };

    void reserve(std::size_t count) {
        std::size_t size = 16;
        while (size < 2 * count) size *= 2;
        slots_.assign(size, Entry{});
    }

    void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }
    // Once the slot has arrived: the id it holds, which a lookup compares with.
    void prefetch_id(std::uint64_t hash) const {
        const Entry& first = slots_[hash & (slots_.size() - 1)];
        if (first.hash == hash) __builtin_prefetch(first.id.data());
    }

    // The entry for `id`: its node, or a slot to fill (node no_node).
    Entry& slot(std::string_view id, std::uint64_t hash) {
        std::size_t at = hash & (slots_.size() - 1);
        while (slots_[at].node != no_node && !(slots_[at].hash == hash && slots_[at].id == id)) {
            at = (at + 1) & (slots_.size() - 1);
        }
        return slots_[at];
    }

    // The slot holding `id`, or no_node.
    std::uint32_t find(std::string_view id, std::uint64_t hash) const {
        std::size_t at = hash & (slots_.size() - 1);
        while (slots_[at].node != no_node) {
            if (slots_[at].hash == hash && slots_[at].id == id) return static_cast<std::uint32_t>(at);
            at = (at + 1) & (slots_.size() - 1);
        }
        return no_node;
    }

    Entry& entry(std::uint32_t slot) { return slots_[slot]; }

private:
    std::vector<Entry, LargeAllocator<Entry>> slots_;
};

// How far ahead of its use a pool slot is fetched.
constexpr std::size_t prefetch_distance = 16;

// The load algorithm over a filled store.
class Assembler {
public:
    Assembler(Store& store, Records& records, LargeVector<Root>& roots, LargeVector<ScopeEntry>& scope,
              std::size_t& unresolved)
        : store_(store), check_(store), records_(records), roots_(roots), scope_(scope),
          unresolved_(unresolved) {}

    std::optional<DataError> run() {
        if (auto error = collect_and_sort()) return error;
        records_.reserve(record_nodes_.size());
        roots_.reserve(collected_);
        scope_.reserve(collected_);
        resolve_refs();
        for (std::size_t i = 0; i < record_nodes_.size(); ++i) {
            if (auto error = add_record(record_nodes_[i], i)) return error;
        }
        return std::move(pool_failure_);
    }

private:
    // Collects the objects of every input, and checks each one's type and id on the way
    // while it is in the cache. A collection error wins over these checks; among them, the
    // first failure and any earlier DuplicateId are reported in input order.
    std::optional<DataError> collect_and_sort() {
        // Every collected object that gets past its checks has a known member (its type), so
        // this bounds what the lists below can hold; unused room is never touched.
        const std::size_t objects = store_.known.size();
        pooled_.reserve(objects);
        record_nodes_.reserve(objects);
        refs_first_.reserve(objects + 1);
        ref_keys_.reserve(store_.children.size());
        for (const std::uint32_t top : store_.inputs) {
            const Node& node = store_.node(top);
            if (node.kind == Kind::List) {
                for (const std::uint32_t* c = store_.child_begin(node); c != store_.child_end(node); ++c) {
                    if (auto error = collect_value(*c)) return error;
                }
            } else if (auto error = collect_value(top)) {
                return error;
            }
        }
        return fill_pool();
    }

    std::optional<DataError> not_an_object(std::uint32_t at) const {
        return data_error(DataErrorKind::NotAnObject, store_.location(at) + ": expected a JSON object");
    }

    std::optional<DataError> collect_value(std::uint32_t at) {
        if (store_.node(at).kind != Kind::Object) return not_an_object(at);
        const std::uint32_t type = store_.member(at, Known::Type);
        if (type == no_node || store_.node(type).kind != Kind::String || check_.text(type) != "bundle") {
            sort(at);
            return std::nullopt;
        }
        const std::uint32_t objects = store_.member(at, Known::Objects);
        if (objects == no_node) return std::nullopt;
        if (store_.node(objects).kind != Kind::List) return check_.wrong_type(objects, "an array");
        const Node& list = store_.node(objects);
        for (const std::uint32_t* c = store_.child_begin(list); c != store_.child_end(list); ++c) {
            if (store_.node(*c).kind != Kind::Object) return not_an_object(*c);
            sort(*c);
        }
        return std::nullopt;
    }

    // A collected object becomes a record candidate or waits for the pool.
    void sort(std::uint32_t object) {
        ++collected_;
        if (sort_failure_) return;
        std::uint32_t type = no_node;
        if ((sort_failure_ = check_.string_member(object, Known::Type, "type", type))) return;
        if (same_text(check_.text(type), "observed-data")) {
            record_nodes_.push_back(object);
            note_refs(object);
            return;
        }
        std::uint32_t id = no_node;
        if ((sort_failure_ = check_.string_member(object, Known::Id, "id", id))) return;
        const std::string_view text = check_.text(id);
        pooled_.push_back({text_hash(text), text, object});
    }

    std::optional<DataError> fill_pool() {
        pool_.reserve(pooled_.size());
        for (std::size_t i = 0; i < pooled_.size(); ++i) {
            if (i + prefetch_distance < pooled_.size()) pool_.prefetch(pooled_[i + prefetch_distance].hash);
            const PoolTable::Entry& object = pooled_[i];
            auto& entry = pool_.slot(object.id, object.hash);
            if (entry.node == no_node) {
                entry = object;
            } else if (!store_.equal(entry.node, object.node)) {
                return data_error(DataErrorKind::DuplicateId,
                                  store_.location(object.node) + ": object \"" + std::string(object.id) +
                                      "\" is defined twice with different contents");
            }
        }
        return std::move(sort_failure_);
    }

    // The object_refs entries of a record candidate, for resolve_refs. Records whose
    // object_refs is not an array of strings get none: their checks fail anyway.
    void note_refs(std::uint32_t record) {
        refs_first_.push_back(static_cast<std::uint32_t>(ref_keys_.size()));
        const std::uint32_t refs = store_.member(record, Known::ObjectRefs);
        if (refs == no_node || !strings_only(refs)) return;
        const Node& list = store_.node(refs);
        for (const std::uint32_t* c = store_.child_begin(list); c != store_.child_end(list); ++c) {
            ref_keys_.emplace_back(check_.text(*c), text_hash(check_.text(*c)));
        }
    }

    // Every object_refs entry of every record looked up ahead of the record checks (a lookup
    // cannot fail), so that the pool's slots are fetched while earlier lookups run.
    void resolve_refs() {
        const auto& keys = ref_keys_;
        refs_first_.push_back(static_cast<std::uint32_t>(keys.size()));
        resolved_.resize(keys.size());
        std::size_t candidate = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i + prefetch_distance < keys.size()) pool_.prefetch(keys[i + prefetch_distance].second);
            if (i + prefetch_distance / 2 < keys.size()) pool_.prefetch_id(keys[i + prefetch_distance / 2].second);
            while (refs_first_[candidate + 1] <= i) ++candidate;
            const std::uint32_t slot = pool_.find(keys[i].first, keys[i].second);
            if (slot == no_node) {
                resolved_[i] = {no_node, Listing::Unresolved};
                continue;
            }
            auto& entry = pool_.entry(slot);
            const auto stamp = static_cast<std::uint32_t>(candidate + 1);
            // A repeated identifier names the same pool object: kept once, at its first place.
            const Listing listing = entry.listed_by == stamp ? Listing::Repeated
                                    : entry.listed_by == 0   ? Listing::First
                                                             : Listing::Again;
            entry.listed_by = stamp;
            resolved_[i] = {entry.node, listing};
        }
    }

    bool strings_only(std::uint32_t list) const {
        const Node& node = store_.node(list);
        if (node.kind != Kind::List) return false;
        for (const std::uint32_t* c = store_.child_begin(node); c != store_.child_end(node); ++c) {
            if (store_.node(*c).kind != Kind::String) return false;
        }
        return true;
    }

    std::optional<DataError> timestamp(std::uint32_t member, Instant& out) const {
        const auto instant = parse_data_timestamp(check_.text(member));
        if (!instant) {
            return data_error(DataErrorKind::InvalidTimestamp,
                              store_.location(member) + ": invalid timestamp: " +
                                  std::string(check_.text(member)));
        }
        out = *instant;
        return std::nullopt;
    }

    std::optional<DataError> add_record(std::uint32_t object, std::size_t candidate) {
        Record record;
        record.node = object;
        const std::uint32_t id = store_.member(object, Known::Id);
        if (id != no_node) {
            if (store_.node(id).kind != Kind::String) return check_.wrong_type(id, "a string");
            record.id_node = id;
        }
        std::uint32_t first = no_node, last = no_node;
        if (auto error = check_.string_member(object, Known::FirstObserved, "first_observed", first)) {
            return error;
        }
        if (auto error = check_.string_member(object, Known::LastObserved, "last_observed", last)) {
            return error;
        }
        const std::uint32_t count = store_.member(object, Known::NumberObserved);
        if (count == no_node) return check_.missing(object, "number_observed");
        if (store_.node(count).kind != Kind::Integer) return check_.wrong_type(count, "an integer");
        if (auto error = timestamp(first, record.first)) return error;
        if (auto error = timestamp(last, record.last)) return error;
        const std::int64_t n = store_.node(count).integer();
        if (n < 1 || n > 999'999'999) {
            return data_error(DataErrorKind::NumberObservedRange,
                              store_.location(count) +
                                  ": number_observed must be between 1 and 999999999: " +
                                  std::to_string(n));
        }
        record.count = static_cast<std::uint32_t>(n);
        const auto index = static_cast<std::uint32_t>(records_.size());
        if (record.last < record.first) {
            return data_error(DataErrorKind::IntervalInverted,
                              describe(index, record) + ": last_observed is earlier than first_observed");
        }
        if (auto error = contents(index, candidate, record)) return error;
        records_.push_back(record);
        return std::nullopt;
    }

    std::string describe(std::uint32_t index, const Record& record) const {
        std::string out = "observed-data #" + std::to_string(index);
        if (record.id_node != no_node) out += " (" + std::string(check_.text(record.id_node)) + ")";
        return out;
    }

    std::optional<DataError> contents(std::uint32_t index, std::size_t candidate, Record& record) {
        const std::uint32_t objects = store_.member(record.node, Known::Objects);
        const std::uint32_t refs = store_.member(record.node, Known::ObjectRefs);
        if (refs == no_node && objects == no_node) {
            return data_error(DataErrorKind::NoContents,
                              describe(index, record) + ": neither objects nor object_refs is present");
        }
        if (refs == no_node) return embedded(objects, record);
        if (objects != no_node) {
            const Node& node = store_.node(objects);
            if (node.kind != Kind::Object || node.count != 0) {
                return data_error(DataErrorKind::BothForms,
                                  describe(index, record) + ": objects and object_refs are both present");
            }
        }
        return referenced(refs, candidate, record);
    }

    std::optional<DataError> embedded(std::uint32_t objects, Record& record) {
        const Node& node = store_.node(objects);
        if (node.kind != Kind::Object) return check_.wrong_type(objects, "an object");
        record.scope_first = static_cast<std::uint32_t>(scope_.size());
        for (const std::uint32_t* c = store_.child_begin(node); c != store_.child_end(node); ++c) {
            if (store_.node(*c).kind != Kind::Object) return check_.wrong_type(*c, "an object");
            std::uint32_t type = no_node;
            if (auto error = check_.string_member(*c, Known::Type, "type", type)) return error;
            if (auto error = check_.typed_properties(*c)) return error;
            scope_.push_back({store_.name(store_.node(*c)), *c});
        }
        const auto begin = scope_.begin() + record.scope_first;
        std::sort(begin, scope_.end(), [](const ScopeEntry& a, const ScopeEntry& b) { return a.key < b.key; });
        record.scope_count = static_cast<std::uint32_t>(scope_.size() - record.scope_first);
        // Every embedded object is a root, in code-point order of the member names.
        record.roots_first = static_cast<std::uint32_t>(roots_.size());
        for (auto e = begin; e != scope_.end(); ++e) {
            roots_.push_back({e->node, check_.text(store_.member(e->node, Known::Type))});
        }
        record.roots_count = record.scope_count;
        return std::nullopt;
    }

    std::optional<DataError> referenced(std::uint32_t refs, std::size_t candidate, Record& record) {
        if (!strings_only(refs)) return check_.wrong_type(refs, "an array of strings");
        record.scope_first = static_cast<std::uint32_t>(scope_.size());
        record.roots_first = static_cast<std::uint32_t>(roots_.size());
        const Node& node = store_.node(refs);
        const Resolved* resolved = resolved_.data() + refs_first_[candidate];
        for (const std::uint32_t* c = store_.child_begin(node); c != store_.child_end(node); ++c, ++resolved) {
            if (resolved->listing == Listing::Unresolved) {
                ++unresolved_;
                continue;
            }
            if (resolved->listing == Listing::Repeated) continue;
            const std::uint32_t found = resolved->node;
            // Pool objects are checked when first listed, while they are in the cache; their
            // errors come after every record's own.
            if (resolved->listing == Listing::First && !pool_failure_) pool_failure_ = check_.typed_properties(found);
            scope_.push_back({check_.text(*c), found});
            const std::string_view type = check_.text(store_.member(found, Known::Type));
            if (!is_non_sco(type)) roots_.push_back({found, type});
        }
        std::sort(scope_.begin() + record.scope_first, scope_.end(),
                  [](const ScopeEntry& a, const ScopeEntry& b) { return a.key < b.key; });
        record.scope_count = static_cast<std::uint32_t>(scope_.size() - record.scope_first);
        record.roots_count = static_cast<std::uint32_t>(roots_.size() - record.roots_first);
        return std::nullopt;
    }

    Store& store_;
    Checker check_;
    Records& records_;
    LargeVector<Root>& roots_;
    LargeVector<ScopeEntry>& scope_;
    std::size_t& unresolved_;
    std::size_t collected_ = 0;
    LargeVector<PoolTable::Entry> pooled_;  // in collection order
    std::optional<DataError> sort_failure_;
    LargeVector<std::uint32_t> record_nodes_;
    PoolTable pool_;
    std::optional<DataError> pool_failure_;  // the first listed pool object that fails its checks
    LargeVector<std::uint32_t> refs_first_;  // by record candidate: its entries in resolved_
    LargeVector<std::pair<std::string_view, std::uint64_t>> ref_keys_;  // each entry and its hash
    // How an object_refs entry resolved: not at all, to an object its record already listed,
    // to an object listed for the first time, or to one an earlier record listed.
    enum class Listing : std::uint8_t { Unresolved, Repeated, First, Again };
    struct Resolved {
        std::uint32_t node;
        Listing listing;
    };
    LargeVector<Resolved> resolved_;  // by object_refs entry of every record candidate
};

}  // namespace

Expected<ObservationSet, DataError> Loader::finish() && {
    if (error_) return std::move(*error_);
    Assembler assembler(*set_.store_, set_.records_, set_.roots_, set_.scope_, set_.unresolved_refs_);
    if (auto error = assembler.run()) return std::move(*error);
    return std::move(set_);
}

Expected<ObservationSet, DataError> load(std::span<const std::string_view> texts,
                                         const LoadOptions& options, JsonReader* reader) {
    Loader loader(options, reader);
    for (const std::string_view text : texts) loader.add_json(text);
    return std::move(loader).finish();
}

}  // namespace quarnel::match
