// Items and sequences of them for the container tests: each item is long enough to live on
// the heap itself, so that a lost or doubly freed one shows under the sanitizer and valgrind
// runs.
#pragma once

#include <cstddef>
#include <string>

namespace quarnel::ast::testing_items {

inline std::string item(std::size_t i) {
    return "item " + std::to_string(i) + " of a text long enough for a heap block of its own";
}

// Items 0 to count - 1, appended one by one, alternately made in place and copied in.
template <typename Sequence>
Sequence appended(std::size_t count) {
    Sequence built;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            built.emplace_back(item(i));
        } else {
            built.push_back(item(i));
        }
    }
    return built;
}

}  // namespace quarnel::ast::testing_items
