// The loader: JSON inputs to an immutable set of observed-data records with their roots,
// scopes and decoded binary values.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "match/document.hpp"
#include "match/errors.hpp"
#include "match/instant.hpp"
#include "match/json_reader.hpp"

namespace quarnel::match {

struct LoadOptions {
    std::uint32_t max_depth = 256;
};

struct Record {
    std::uint32_t node = no_node;     // the observed-data object
    std::uint32_t id_node = no_node;  // its "id" string, if any
    Instant first = 0;
    Instant last = 0;
    std::uint32_t count = 1;          // number_observed
    std::uint32_t roots_first = 0, roots_count = 0;
    std::uint32_t scope_first = 0, scope_count = 0;
};

struct Root {
    std::uint32_t node;
    std::string_view type;
};

struct ScopeEntry {
    std::string_view key;  // member name (embedded form) or id (referenced form)
    std::uint32_t node;
};

using Records = LargeVector<Record>;

class ObservationSet {
public:
    const Store& store() const { return *store_; }
    const Records& records() const { return records_; }
    std::span<const Root> roots(const Record& record) const {
        return {roots_.data() + record.roots_first, record.roots_count};
    }
    // The object a reference names inside the record's scope, or no_node.
    std::uint32_t resolve(const Record& record, std::string_view key) const;
    std::string_view id(const Record& record) const;
    // "observed-data #<index>" and " (<id>)" when the record has one.
    std::string describe(std::uint32_t index) const;
    std::size_t unresolved_refs() const { return unresolved_refs_; }

private:
    friend class Loader;
    std::unique_ptr<Store> store_ = std::make_unique<Store>();
    Records records_;
    LargeVector<Root> roots_;
    LargeVector<ScopeEntry> scope_;
    std::size_t unresolved_refs_ = 0;
};

// Collects inputs one by one (JSON texts, or values built by a binding), then loads them.
class Loader {
public:
    // With a reader, texts go through its warm buffers; without, the strict reader.
    explicit Loader(LoadOptions options = {}, JsonReader* reader = nullptr);

    // Reads a JSON text as the next input; the first error stays and ends the load.
    void add_json(std::string_view text);
    // A builder for the next input, for values that are already parsed; call end_value
    // with it when its events are complete (or after it failed).
    Builder begin_value();
    void end_value(Builder& builder, bool ok);
    // The record set, or the first error in input order.
    Expected<ObservationSet, DataError> finish() &&;
    std::uint32_t inputs() const { return next_input_; }
    bool failed() const { return error_.has_value(); }

private:
    LoadOptions options_;
    ObservationSet set_;
    JsonReader* reader_;
    std::uint32_t next_input_ = 0;
    std::optional<DataError> error_;
};

Expected<ObservationSet, DataError> load(std::span<const std::string_view> texts,
                                         const LoadOptions& options = {}, JsonReader* reader = nullptr);

}  // namespace quarnel::match
