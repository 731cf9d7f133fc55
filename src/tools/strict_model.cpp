// The data-model checks of a path: object type, properties, extensions, and the kind
// of each step, walked through embedded types and followed across references.
#include <variant>

#include "tools/canonical.hpp"
#include "tools/spelling.hpp"
#include "tools/strict_detail.hpp"

namespace quarnel::tools::strict {

namespace {

// Where a walk along a path stands: among the properties of one owner, or at a value
// of a kind (with the target of an object or reference).
struct Position {
    const Owner* owner = nullptr;  // set: the next step names one of its properties
    Kind kind = Kind::Object;
    std::string_view target;
    std::string_view owner_label;  // "file", "ntfs-ext", "WindowsPESection": for messages
};

std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out += '\'';
    out += name;
    out += '\'';
    return out;
}

// "a,b" as "a, b".
std::string spaced_list(std::string_view names) {
    std::string out;
    for (const char c : names) {
        out += c;
        if (c == ',') {
            out += ' ';
        }
    }
    return out;
}

// The first of the comma-separated object types in `targets` that has `property`.
const Owner* referenced_owner(std::string_view targets, std::string_view property) {
    while (!targets.empty()) {
        const std::size_t comma = targets.find(',');
        const Owner* owner = find_object_type(targets.substr(0, comma));
        if (owner != nullptr && owner->find(property) != nullptr) {
            return owner;
        }
        targets = comma == std::string_view::npos ? std::string_view() : targets.substr(comma + 1);
    }
    return nullptr;
}

class PathWalk {
public:
    PathWalk(const ast::ObjectPath& path, Findings& findings) : path_(path), findings_(findings) {}

    PathFacts run() {
        if (is_custom_name(path_.object_type)) {
            return {};
        }
        const Owner* owner = find_object_type(path_.object_type);
        if (owner == nullptr) {
            findings_.add("object-type", quoted(path_.object_type) +
                                             " is not a STIX 2.1 cyber-observable object type "
                                             "(custom types begin with x-)");
            return {};
        }
        Position at{owner, Kind::Object, {}, owner->name};
        PathFacts facts;
        for (const ast::PathComponent& step : path_.property_path) {
            if (!step_into(at, step, facts)) {
                return {};
            }
        }
        facts.kind = at.owner != nullptr ? Kind::Object : at.kind;
        return facts;
    }

private:
    // Moves `at` along one step; false when the rest of the path is outside the model.
    bool step_into(Position& at, const ast::PathComponent& step, PathFacts& facts) {
        if (is_custom_name(step.property)) {
            return false;
        }
        if (at.owner == nullptr) {
            const Entry entry = enter_value(at, step, facts);
            if (entry != Entry::Owner) {
                return entry == Entry::StepTaken;
            }
        }
        const Property* property = at.owner->find(step.property);
        if (property == nullptr) {
            not_a_property(step.property, at.owner_label);
            return false;
        }
        at = {nullptr, property->kind, property->target, {}};
        return !step.index || take_index(at, *property);
    }

    void not_a_property(std::string_view property, std::string_view owner) {
        findings_.add("property-name", quoted(property) + " is not a property of " +
                                           std::string(owner) + " (in " + path_text(path_) + ")");
    }

    bool take_index(Position& at, const Property& property) {
        if (property.kind != Kind::List) {
            return refuse_index(property.kind);
        }
        at.kind = property.element_kind;
        at.target = property.element_target;
        return true;
    }

    enum class Entry {
        Owner,      // `at` now has an owner whose property the step names
        StepTaken,  // the step itself was the key (an extension, a hash algorithm)
        Outside,    // nothing is known below
    };

    // Steps from a value into what it holds, by the value's kind.
    Entry enter_value(Position& at, const ast::PathComponent& step, PathFacts& facts) {
        switch (at.kind) {
            case Kind::Extensions:
                return enter_extension(at, step);
            case Kind::Hashes:
                facts.hash_algorithm = step.property;
                at = {nullptr, Kind::String, {}, {}};
                return !step.index || refuse_index(Kind::String) ? Entry::StepTaken : Entry::Outside;
            case Kind::Object:
                at.owner = find_embedded_type(at.target);
                at.owner_label = at.target;
                return at.owner != nullptr ? Entry::Owner : Entry::Outside;
            case Kind::Reference:
                return enter_reference(at, step);
            case Kind::Dictionary:  // free keys
            case Kind::List:        // an unindexed list: taken leniently, nothing known below
                return Entry::Outside;
            default:
                findings_.add("property-kind", path_text(path_) + ": " + kind_with_article(at.kind) +
                                                   " value has no property " + quoted(step.property));
                return Entry::Outside;
        }
    }

    // A path may follow a reference into the object it points at.
    Entry enter_reference(Position& at, const ast::PathComponent& step) {
        if (at.target.empty()) {
            return Entry::Outside;  // it may point at any object
        }
        at.owner = referenced_owner(at.target, step.property);
        if (at.owner == nullptr) {
            not_a_property(step.property, spaced_list(at.target));
            return Entry::Outside;
        }
        at.owner_label = at.owner->name;
        return Entry::Owner;
    }

    Entry enter_extension(Position& at, const ast::PathComponent& step) {
        if (step.property.starts_with("extension-definition--")) {
            return Entry::Outside;  // a custom extension, defined by its own STIX object
        }
        const Owner* extension = find_extension(step.property);
        if (extension == nullptr) {
            findings_.add("extension-name", quoted(step.property) +
                                                " is not a STIX 2.1 extension (custom extensions "
                                                "begin with x- or extension-definition--; in " + path_text(path_) + ")");
            return Entry::Outside;
        }
        at = {extension, Kind::Object, {}, extension->name};
        return !step.index || refuse_index(Kind::Object) ? Entry::StepTaken : Entry::Outside;
    }

    bool refuse_index(Kind kind) {
        findings_.add("property-kind", path_text(path_) + ": " + kind_with_article(kind) +
                                           " is not a list and takes no index");
        return false;
    }

    const ast::ObjectPath& path_;
    Findings& findings_;
};

}  // namespace

PathFacts resolve_path(const ast::ObjectPath& path, Findings& findings) {
    return PathWalk(path, findings).run();
}

std::string path_text(const ast::ObjectPath& path) {
    std::string out;
    append_canonical_path(out, path);
    return out;
}

std::string timestamp_text(const ast::Timestamp& timestamp) {
    std::string out = "t'";
    append_utc_timestamp(out, timestamp);
    return out + "'";
}

std::string constant_text(const ast::StixValue& value) {
    // A timestamp may be one that canonical text cannot spell: exactly what a finding reports.
    if (const auto* timestamp = std::get_if<ast::Timestamp>(&value.value)) {
        return timestamp_text(*timestamp);
    }
    std::string out;
    append_canonical_constant(out, ast::ComparisonRhs{value});
    return out;
}

}  // namespace quarnel::tools::strict
