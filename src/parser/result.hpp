// Every building step returns its value or the ParseError that ended the parse.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "parser/parse_error.hpp"

namespace quarnel::parser {

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ParseError error) : state_(std::in_place_index<1>, std::move(error)) {}
    // A fresh value made in place, for a step to build into: one moved in would be walked
    // through all its variants.
    explicit Result(std::in_place_t) : state_(std::in_place_index<0>) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const ParseError& error() const& { return std::get<1>(state_); }
    ParseError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, ParseError> state_;
};

// For steps that only succeed or fail.
struct Done {};
using Status = Result<Done>;

}  // namespace quarnel::parser
