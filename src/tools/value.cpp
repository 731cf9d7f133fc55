#include "tools/value.hpp"

#include <array>
#include <charconv>

#include "tools/spelling.hpp"
#include "tools/tree_json.hpp"

namespace quarnel::tools {

// Records nest a few levels (observable, constant, qualifier): recursion is bounded.
void append_json(std::string& out, const Value& value) {
    std::visit(
        [&out]<typename V>(const V& v) {
            if constexpr (std::is_same_v<V, std::nullptr_t>) {
                out += "null";
            } else if constexpr (std::is_same_v<V, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, std::int64_t>) {
                std::array<char, 24> digits{};
                const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), v);
                out.append(digits.data(), end);
            } else if constexpr (std::is_same_v<V, double>) {
                append_json_float(out, v);
            } else if constexpr (std::is_same_v<V, std::string>) {
                append_json_string(out, v);
            } else if constexpr (std::is_same_v<V, Array>) {
                out += '[';
                for (std::size_t i = 0; i < v.size(); ++i) {
                    out += i == 0 ? "" : ", ";
                    append_json(out, v[i]);
                }
                out += ']';
            } else {
                out += '{';
                for (std::size_t i = 0; i < v.size(); ++i) {
                    out += i == 0 ? "" : ", ";
                    append_json_string(out, v[i].key);
                    out += ": ";
                    append_json(out, v[i].value);
                }
                out += '}';
            }
        },
        value.data);
}

}  // namespace quarnel::tools
