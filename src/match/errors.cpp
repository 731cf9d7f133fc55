#include "match/errors.hpp"

#include <array>

namespace quarnel::match {

namespace {

template <typename Kind, std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& names, Kind kind) {
    const auto at = static_cast<std::size_t>(kind);
    return at < names.size() ? names[at] : std::string_view("Unknown");
}

}  // namespace

std::string_view kind_name(PatternErrorKind kind) {
    static constexpr std::array<std::string_view, 12> names{
        "ListRequired",  "ListNotAllowed", "OperandKind", "MixedList",
        "InvalidHex",    "InvalidBase64",  "InvalidRegex", "InvalidAddress",
        "RepeatCount",   "WithinRange",    "IncompleteInterval", "TooDeep"};
    return lookup(names, kind);
}

std::string_view kind_name(DataErrorKind kind) {
    static constexpr std::array<std::string_view, 14> names{
        "InvalidJson",      "DuplicateMember",  "TooDeep",          "NotAnObject",
        "MissingProperty",  "WrongType",        "InvalidTimestamp", "NumberObservedRange",
        "IntervalInverted", "NoContents",       "BothForms",        "DuplicateId",
        "InvalidBinary",    "InvalidReference"};
    return lookup(names, kind);
}

std::string_view kind_name(MatchErrorKind kind) {
    static constexpr std::array<std::string_view, 3> names{"ValueNotTimestamp", "RegexLimit",
                                                           "SearchLimit"};
    return lookup(names, kind);
}

}  // namespace quarnel::match
