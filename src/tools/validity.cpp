#include "tools/validity.hpp"

#include "parser/builder.hpp"

namespace quarnel::tools {

bool is_valid_pattern(std::string_view text) {
    // Building is part of the verdict: a constant can pass the grammar and still fail to convert.
    // The shared build is dropped the cheaper way.
    return parser::parse_shared_pattern(text).ok();
}

}  // namespace quarnel::tools
