// Whether a pattern text is accepted, without keeping its tree.
#pragma once

#include <string_view>

namespace quarnel::tools {

// True exactly when quarnel.parse() accepts the text.
bool is_valid_pattern(std::string_view text);

}  // namespace quarnel::tools
