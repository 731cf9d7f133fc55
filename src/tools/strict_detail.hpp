// The parts of the strict checks, and the collector that they report to.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ast/ast.hpp"
#include "parser/parse_tree.hpp"
#include "tools/observable_model.hpp"
#include "tools/strict.hpp"

namespace quarnel::tools::strict {

// A span of the pattern text, in bytes.
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

class Findings {
public:
    // The findings that follow belong to `where` (nothing: unknown).
    void locate(std::optional<Span> where) { where_ = where; }
    void add(std::string_view code, std::string message);
    void add_at(std::string_view code, std::string message, Span where);

    std::vector<Finding> take() &&;

private:
    std::vector<Finding> findings_;
    std::optional<Span> where_;
};

// What a path leads to in the data model; nothing known when it leaves the model (a custom
// name, a dictionary key, an embedded type without facts).
struct PathFacts {
    std::optional<Kind> kind;
    std::optional<std::string_view> hash_algorithm;  // the key after a `hashes` property, as written
};

// Checks object type, property and extension names and the kinds along the path.
PathFacts resolve_path(const ast::ObjectPath& path, Findings& findings);

// Pattern text of a path and of a constant, for messages.
std::string path_text(const ast::ObjectPath& path);
std::string constant_text(const ast::StixValue& value);
std::string timestamp_text(const ast::Timestamp& timestamp);

// Chains of AND, OR and FOLLOWEDBY written without parentheses whose left fold differs
// from STIX 2.1 precedence. `canonical` gives "canonical text: " and the canonical text of
// the whole tree, or why there is none; it is asked only when a chain is found.
void check_precedence(const parser::ParseTree& tree, const std::function<std::string()>& canonical,
                      Findings& findings);

// Where the leaf comparisons and the qualifier lists lie in the text, each in text order.
struct SourceSpans {
    std::vector<Span> comparisons;
    std::vector<Span> qualifier_lists;
};
SourceSpans source_spans(const parser::ParseTree& tree);

}  // namespace quarnel::tools::strict
