// Strict checks: what STIX 2.1 requires of a pattern and the grammar leaves open (hash
// formats, constants, qualifier values, operator grouping, the observable data model).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/result.hpp"

namespace quarnel::tools {

// A check's stable code and what it reports, for listings and documentation.
struct StrictCode {
    std::string_view code;
    std::string_view summary;
};

// Every code, in the order in which the README lists them.
std::span<const StrictCode> strict_codes();
bool is_strict_code(std::string_view code);

struct Finding {
    std::string_view code;  // one of strict_codes()
    std::string message;
    // Byte offsets of the text that the finding is about, where it is known.
    std::optional<std::size_t> begin;
    std::optional<std::size_t> end;

    bool operator==(const Finding&) const = default;
};

// The findings for an accepted pattern, in the order of the text; the parser's error for
// a rejected one.
parser::Result<std::vector<Finding>> strict_findings(std::string_view pattern);

}  // namespace quarnel::tools
