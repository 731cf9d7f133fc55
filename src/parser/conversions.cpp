#include "parser/conversions.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <limits>
#include <optional>
#include <system_error>

namespace quarnel::parser {

namespace {

ParseError integer_error(IntErrorKind kind) {
    return ParseError(ParseError::InvalidInteger{kind});
}

ParseError float_error(FloatErrorKind kind) {
    return ParseError(ParseError::InvalidFloat{kind});
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Accumulates the decimal digits of `digits` as a magnitude of at most `limit`. The first
// fault met from the left decides the failure, so "99999999999999999999x" is too large
// rather than malformed. Nineteen digits always fit in 64 bits and a longer prefix is never
// smaller, so up to there the limit needs checking only where the digits stop.
Result<std::uint64_t> parse_magnitude(std::string_view digits, std::uint64_t limit,
                                      IntErrorKind overflow) {
    if (digits.empty()) {
        return integer_error(IntErrorKind::InvalidDigit);  // a lone sign
    }
    constexpr std::size_t digits_that_fit = 19;
    const std::size_t unchecked = std::min(digits.size(), digits_that_fit);
    std::uint64_t magnitude = 0;
    for (std::size_t at = 0; at < unchecked; ++at) {
        if (!is_digit(digits[at])) {
            return integer_error(magnitude > limit ? overflow : IntErrorKind::InvalidDigit);
        }
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(digits[at] - '0');
    }
    if (magnitude > limit) {
        return integer_error(overflow);
    }
    // Past nineteen digits (leading zeros, or a value on its way past the limit), each
    // digit is checked as it comes.
    for (const char c : digits.substr(unchecked)) {
        if (!is_digit(c)) {
            return integer_error(IntErrorKind::InvalidDigit);
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) {
            return integer_error(overflow);
        }
        magnitude = magnitude * 10 + digit;
    }
    return magnitude;
}

// What a decimal literal looks like, gathered in one pass: whether it is well formed, and
// the decimal order of magnitude of its first significant digit (saturated), which tells
// an overflow from an underflow when the value is out of the double range.
struct DecimalShape {
    bool well_formed = false;
    bool negative = false;
    std::int64_t order = 0;
};

// Reads an exponent's digits, saturating far beyond any order a double can reach.
std::int64_t saturated_exponent(std::string_view digits, bool negative) {
    constexpr std::int64_t cap = std::int64_t{1} << 40;
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value >= cap ? cap : value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::size_t skip_digits(std::string_view text, std::size_t at) {
    while (at < text.size() && is_digit(text[at])) {
        ++at;
    }
    return at;
}

// Grammar of the accepted literals: sign? digits ("." digits?)? | sign? "." digits, then
// an optional exponent ("e" | "E") sign? digits.
DecimalShape examine_decimal(std::string_view text) {
    DecimalShape shape;
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        shape.negative = text[at] == '-';
        ++at;
    }
    const std::size_t integer_begin = at;
    at = skip_digits(text, at);
    const std::size_t integer_end = at;
    std::size_t fraction_begin = at;
    std::size_t fraction_end = at;
    if (at < text.size() && text[at] == '.') {
        fraction_begin = at + 1;
        fraction_end = at = skip_digits(text, fraction_begin);
    }
    if (integer_begin == integer_end && fraction_begin == fraction_end) {
        return shape;
    }
    std::int64_t exponent = 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        bool exponent_negative = false;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            exponent_negative = text[at] == '-';
            ++at;
        }
        const std::size_t exponent_begin = at;
        at = skip_digits(text, at);
        if (at == exponent_begin) {
            return shape;
        }
        exponent = saturated_exponent(text.substr(exponent_begin, at - exponent_begin),
                                      exponent_negative);
    }
    if (at != text.size()) {
        return shape;
    }
    shape.well_formed = true;
    const std::size_t first_integer = text.find_first_not_of('0', integer_begin);
    if (first_integer < integer_end) {
        shape.order = static_cast<std::int64_t>(integer_end - first_integer) - 1 + exponent;
    } else {
        const std::size_t first_fraction = text.find_first_not_of('0', fraction_begin);
        const std::size_t position = first_fraction < fraction_end ? first_fraction : fraction_end;
        shape.order = -static_cast<std::int64_t>(position - fraction_begin) - 1 + exponent;
    }
    return shape;
}

// Up to fifteen digits, and powers of ten up to that, are exact in a double.
constexpr std::size_t max_short_digits = 15;
constexpr std::array<double, max_short_digits + 1> powers_of_ten = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Plain decimals of at most fifteen digits, the usual case ("300", "-2.5"): the digits as
// an integer and the power of ten that scales them are both exact, so a single division
// rounds correctly, as the general conversion does. Other texts give nothing.
std::optional<double> short_plain_decimal(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    std::size_t at = !text.empty() && (text.front() == '+' || text.front() == '-') ? 1 : 0;
    std::uint64_t mantissa = 0;
    std::size_t digits = 0;
    std::optional<std::size_t> digits_before_point;
    for (; at < text.size() && digits <= max_short_digits; ++at) {
        const char c = text[at];
        if (is_digit(c)) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
        } else if (c == '.' && !digits_before_point) {
            digits_before_point = digits;
        } else {
            return std::nullopt;
        }
    }
    if (at != text.size() || digits == 0 || digits > max_short_digits) {
        return std::nullopt;
    }
    const std::size_t fraction_digits = digits - digits_before_point.value_or(digits);
    const double magnitude = static_cast<double>(mantissa) / powers_of_ten[fraction_digits];
    return negative ? -magnitude : magnitude;
}

// The character a known escape stands for; nothing for an escape kept as written.
std::optional<char> resolved_escape(char escaped) {
    switch (escaped) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case '\'':
        case '\\':
            return escaped;
        default:
            return std::nullopt;
    }
}

}  // namespace

Result<std::int64_t> parse_int64(std::string_view text) {
    if (text.empty()) {
        return integer_error(IntErrorKind::Empty);
    }
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (text.front() == '-') {
        auto magnitude = parse_magnitude(text.substr(1), max + 1, IntErrorKind::NegOverflow);
        if (!magnitude) {
            return std::move(magnitude).error();
        }
        // Two's complement: the negation of the magnitude, well defined in unsigned terms.
        return static_cast<std::int64_t>(0 - magnitude.value());
    }
    const std::string_view digits = text.front() == '+' ? text.substr(1) : text;
    auto magnitude = parse_magnitude(digits, max, IntErrorKind::PosOverflow);
    if (!magnitude) {
        return std::move(magnitude).error();
    }
    return static_cast<std::int64_t>(magnitude.value());
}

Result<std::uint32_t> parse_uint32(std::string_view text) {
    if (text.empty()) {
        return integer_error(IntErrorKind::Empty);
    }
    const std::string_view digits = text.front() == '+' ? text.substr(1) : text;
    auto magnitude =
        parse_magnitude(digits, std::numeric_limits<std::uint32_t>::max(), IntErrorKind::PosOverflow);
    if (!magnitude) {
        return std::move(magnitude).error();
    }
    return static_cast<std::uint32_t>(magnitude.value());
}

Result<double> parse_float64(std::string_view text) {
    if (text.empty()) {
        return float_error(FloatErrorKind::Empty);
    }
    if (const auto value = short_plain_decimal(text)) {
        return *value;
    }
    const DecimalShape shape = examine_decimal(text);
    if (!shape.well_formed) {
        return float_error(FloatErrorKind::Invalid);
    }
    // from_chars takes no '+' of its own.
    const std::string_view body = text.front() == '+' ? text.substr(1) : text;
    double value = 0.0;
    const auto [end, status] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (status == std::errc::result_out_of_range) {
        const double magnitude = shape.order >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
        return shape.negative ? -magnitude : magnitude;
    }
    if (status != std::errc{} || end != body.data() + body.size()) {
        return float_error(FloatErrorKind::Invalid);
    }
    return value;
}

std::size_t unescape_string_to(std::string_view text, char* const out) {
    char* write = out;
    std::size_t at = 0;
    for (;;) {
        // Each run up to a backslash is copied in one go, so that a long text with escapes
        // costs little more than one without.
        const std::size_t backslash = text.find('\\', at);
        const std::size_t run_end = backslash == std::string_view::npos ? text.size() : backslash;
        write = std::copy(text.data() + at, text.data() + run_end, write);
        if (backslash == std::string_view::npos) {
            return static_cast<std::size_t>(write - out);
        }
        const auto resolved = backslash + 1 < text.size() ? resolved_escape(text[backslash + 1]) : std::nullopt;
        if (resolved) {
            *write++ = *resolved;
            at = backslash + 2;
        } else {
            // A last backslash, or an unknown escape, stays; the code point after an unknown
            // escape, whatever its length in bytes, follows as plain text.
            *write++ = '\\';
            at = backslash + 1;
        }
    }
}

}  // namespace quarnel::parser
