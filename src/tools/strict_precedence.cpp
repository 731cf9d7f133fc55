// The grouping check, read from the grammar's parse tree: the syntax tree keeps no trace
// of parentheses, the parse tree keeps each chain flat as written.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/strict_detail.hpp"

namespace quarnel::tools::strict {

namespace {

using parser::Node;
using parser::Rule;

bool is_operator(Rule rule) {
    return rule == Rule::and_ || rule == Rule::or_ || rule == Rule::followedby;
}

bool is_operand(Rule rule) {
    return rule == Rule::comparison || rule == Rule::observation || rule == Rule::observation_group;
}

// How tightly an operator binds under STIX 2.1 precedence, higher first: AND before OR
// inside brackets; AND before OR before FOLLOWEDBY between observations.
int binding(Rule rule) {
    switch (rule) {
        case Rule::and_:
            return 2;
        case Rule::or_:
            return 1;
        default:
            return 0;
    }
}

std::string_view keyword(Rule rule) {
    switch (rule) {
        case Rule::and_:
            return "AND";
        case Rule::or_:
            return "OR";
        default:
            return "FOLLOWEDBY";
    }
}

// An operand as written, shortened for a message; never cut inside a UTF-8 sequence.
std::string operand_text(const Node& node) {
    constexpr std::size_t longest = 60;
    constexpr std::size_t kept = 45;
    std::string_view text = node.text();
    text = text.substr(0, text.find_last_not_of(" \t\r\n\f\v") + 1);
    if (text.size() <= longest) {
        return std::string(text);
    }
    std::size_t cut = kept;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(text.substr(0, cut)) + " ... " + text.back();
}

struct Chain {
    std::vector<Node> operands;
    std::vector<Node> operators;
};

Chain chain_of(const Node& node) {
    Chain chain;
    for (const Node child : node.children()) {
        if (is_operator(child.rule())) {
            chain.operators.push_back(child);
        } else if (is_operand(child.rule())) {
            chain.operands.push_back(child);
        }
    }
    return chain;
}

// The first operator that binds tighter than the one before it: there the left fold
// and precedence part ways.
std::size_t first_divergence(const Chain& chain) {
    for (std::size_t k = 1; k < chain.operators.size(); ++k) {
        if (binding(chain.operators[k - 1].rule()) < binding(chain.operators[k].rule())) {
            return k;
        }
    }
    return chain.operators.size();
}

// Both readings of the chain around its first divergence.
std::string readings(const Chain& chain, std::size_t k) {
    const std::string before = k >= 2 ? "... " : "";
    const std::string after = k + 2 < chain.operands.size() ? " ..." : "";
    const std::string x = operand_text(chain.operands[k - 1]);
    const std::string y = operand_text(chain.operands[k]);
    const std::string z = operand_text(chain.operands[k + 1]);
    const std::string first(keyword(chain.operators[k - 1].rule()));
    const std::string second(keyword(chain.operators[k].rule()));
    return "mixed " + first + " and " + second + " without parentheses: read here as (" + before + x +
           " " + first + " " + y + ") " + second + " " + z + after + ", by STIX 2.1 precedence as " +
           before + x + " " + first + " (" + y + " " + second + " " + z + ")" + after;
}

struct Divergence {
    std::string readings;
    Span where;  // the operator that binds tighter than the one before it
};

bool holds_chain(const Node& node) {
    switch (node.rule()) {
        case Rule::expression:
        case Rule::observation:
            return true;
        case Rule::comparison: {
            const auto children = node.children();
            return !children.empty() && (*children.begin()).rule() == Rule::comparison;
        }
        default:
            return false;
    }
}

}  // namespace

void check_precedence(const parser::ParseTree& tree, const std::function<std::string()>& canonical,
                      Findings& findings) {
    std::vector<Divergence> divergences;
    const auto size = static_cast<std::uint32_t>(tree.flat_nodes().size());
    for (std::uint32_t index = 0; index < size; ++index) {
        const Node node(tree, index);
        if (!holds_chain(node)) {
            continue;
        }
        const Chain chain = chain_of(node);
        const std::size_t k = first_divergence(chain);
        if (k < chain.operators.size()) {
            divergences.push_back({readings(chain, k), {chain.operators[k].begin(), chain.operators[k].end()}});
        }
    }
    // An outer chain comes before the chains inside it here, but may diverge later in the text.
    std::sort(divergences.begin(), divergences.end(),
              [](const Divergence& a, const Divergence& b) { return a.where.begin < b.where.begin; });
    // The canonical text of the whole tree is given once, not again for every chain.
    for (std::size_t i = 0; i < divergences.size(); ++i) {
        const std::string shown = i == 0 ? canonical() : "canonical text: as in the first mixed-operator finding";
        findings.add_at("precedence", divergences[i].readings + "; " + shown, divergences[i].where);
    }
}

SourceSpans source_spans(const parser::ParseTree& tree) {
    SourceSpans spans;
    const auto size = static_cast<std::uint32_t>(tree.flat_nodes().size());
    for (std::uint32_t index = 0; index < size; ++index) {
        const Node node(tree, index);
        if (node.rule() == Rule::comparison && !holds_chain(node)) {
            spans.comparisons.push_back({node.begin(), node.end()});
        }
        if (node.rule() != Rule::observation && node.rule() != Rule::observation_group) {
            continue;
        }
        std::optional<Span> qualifiers;
        for (const Node child : node.children()) {
            if (child.rule() == Rule::qualifier) {
                qualifiers = Span{qualifiers ? qualifiers->begin : child.begin(), child.end()};
            }
        }
        if (qualifiers) {
            spans.qualifier_lists.push_back(*qualifiers);
        }
    }
    return spans;
}

}  // namespace quarnel::tools::strict
