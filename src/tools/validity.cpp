#include "tools/validity.hpp"

#include "parser/builder.hpp"

namespace quarnel::tools {

bool is_valid_pattern(std::string_view text) {
    // Building is part of the verdict: a constant can pass the grammar and still fail to convert.
    return parser::parse_pattern(text).ok();
}

}  // namespace quarnel::tools
