#include "ast/text.hpp"

namespace quarnel::ast {

void Text::set_far_copy(std::string_view text) {
    auto* const bytes = static_cast<char*>(node_memory::allocate_single(text.size()));
    std::memcpy(bytes, text.data(), text.size());
    *this = adopt(bytes, text.size());
}

}  // namespace quarnel::ast
