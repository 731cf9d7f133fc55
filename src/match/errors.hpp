// Error values of the matcher: every failure carries a kind and a fixed English message.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quarnel::match {

enum class PatternErrorKind {
    ListRequired,
    ListNotAllowed,
    OperandKind,
    MixedList,
    InvalidHex,
    InvalidBase64,
    InvalidRegex,
    InvalidAddress,
    RepeatCount,
    WithinRange,
    IncompleteInterval,
    TooDeep,
};

enum class DataErrorKind {
    InvalidJson,
    DuplicateMember,
    TooDeep,
    NotAnObject,
    MissingProperty,
    WrongType,
    InvalidTimestamp,
    NumberObservedRange,
    IntervalInverted,
    NoContents,
    BothForms,
    DuplicateId,
    InvalidBinary,
    InvalidReference,
};

enum class MatchErrorKind { ValueNotTimestamp, RegexLimit, SearchLimit };

std::string_view kind_name(PatternErrorKind kind);
std::string_view kind_name(DataErrorKind kind);
std::string_view kind_name(MatchErrorKind kind);

template <typename Kind>
struct Error {
    Kind kind;
    std::string message;
    bool operator==(const Error&) const = default;
};

using PatternError = Error<PatternErrorKind>;
using DataError = Error<DataErrorKind>;
using MatchError = Error<MatchErrorKind>;
// A value error met in lenient mode: the value was dropped and evaluation went on.
using Warning = MatchError;

// A value or the error that prevented it.
template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

}  // namespace quarnel::match
