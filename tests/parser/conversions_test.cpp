#include "parser/conversions.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace quarnel::parser {
namespace {

template <typename T>
struct ConvertsTo {
    std::string text;
    T expected;
};

struct FailsWith {
    std::string text;
    std::string message;
};

template <typename T>
void PrintTo(const ConvertsTo<T>& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}
void PrintTo(const FailsWith& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

const std::string too_large = "Invalid integer: number too large to fit in target type";
const std::string too_small = "Invalid integer: number too small to fit in target type";
const std::string invalid_digit = "Invalid integer: invalid digit found in string";
const std::string empty_integer = "Invalid integer: cannot parse integer from empty string";
const std::string empty_float = "Invalid float: cannot parse float from empty string";
const std::string invalid_float = "Invalid float: invalid float literal";

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr double infinity = std::numeric_limits<double>::infinity();

// --- 64-bit integers ---

class Int64Converts : public testing::TestWithParam<ConvertsTo<std::int64_t>> {};

TEST_P(Int64Converts, GivesTheValue) {
    const auto result = parse_int64(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Int64Converts,
    testing::Values(ConvertsTo<std::int64_t>{"0", 0}, ConvertsTo<std::int64_t>{"-0", 0},
                    ConvertsTo<std::int64_t>{"007", 7}, ConvertsTo<std::int64_t>{"+5", 5},
                    ConvertsTo<std::int64_t>{"-12", -12},
                    ConvertsTo<std::int64_t>{"9223372036854775807", int64_max},
                    ConvertsTo<std::int64_t>{"-9223372036854775808", int64_min},
                    ConvertsTo<std::int64_t>{"000000000000000000009223372036854775807", int64_max},
                    ConvertsTo<std::int64_t>{"-000000000000000000009223372036854775808", int64_min}));

class Int64Fails : public testing::TestWithParam<FailsWith> {};

TEST_P(Int64Fails, WithTheMessage) {
    const auto result = parse_int64(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Int64Fails,
    testing::Values(FailsWith{"", empty_integer}, FailsWith{"-", invalid_digit},
                    FailsWith{"+", invalid_digit}, FailsWith{"--1", invalid_digit},
                    FailsWith{"+-1", invalid_digit}, FailsWith{"12a", invalid_digit},
                    FailsWith{" 1", invalid_digit}, FailsWith{"1.5", invalid_digit},
                    FailsWith{"9223372036854775808", too_large},
                    FailsWith{"+9223372036854775808", too_large},
                    FailsWith{"99999999999999999999", too_large},
                    FailsWith{"-9223372036854775809", too_small},
                    FailsWith{"-99999999999999999999", too_small},
                    // The first fault from the left decides.
                    FailsWith{"99999999999999999999x", too_large},
                    FailsWith{"x99999999999999999999", invalid_digit},
                    // Up to nineteen digits the limit is checked where the digits stop.
                    FailsWith{"9999999999999999999", too_large},
                    FailsWith{"9223372036854775808x", too_large},
                    FailsWith{"-9223372036854775809x", too_small},
                    FailsWith{"922337203685477580x", invalid_digit}));

// --- unsigned 32-bit integers ---

class Uint32Converts : public testing::TestWithParam<ConvertsTo<std::uint32_t>> {};

TEST_P(Uint32Converts, GivesTheValue) {
    const auto result = parse_uint32(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Uint32Converts,
                         testing::Values(ConvertsTo<std::uint32_t>{"0", 0},
                                         ConvertsTo<std::uint32_t>{"007", 7},
                                         ConvertsTo<std::uint32_t>{"+7", 7},
                                         ConvertsTo<std::uint32_t>{"4294967295", 4294967295U}));

class Uint32Fails : public testing::TestWithParam<FailsWith> {};

TEST_P(Uint32Fails, WithTheMessage) {
    const auto result = parse_uint32(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uint32Fails,
    testing::Values(FailsWith{"", empty_integer}, FailsWith{"+", invalid_digit},
                    FailsWith{"-", invalid_digit}, FailsWith{"-1", invalid_digit},
                    FailsWith{"-0", invalid_digit}, FailsWith{"1*", invalid_digit},
                    FailsWith{"*", invalid_digit}, FailsWith{"4294967296", too_large},
                    FailsWith{"18446744073709551616", too_large},
                    FailsWith{"4294967296x", too_large}, FailsWith{"99999999999x", too_large},
                    FailsWith{"429496729x", invalid_digit}));

// --- floats ---

class FloatConverts : public testing::TestWithParam<ConvertsTo<double>> {};

// Bit patterns, so that -0.0 differs from 0.0 and the last bit of rounding counts.
TEST_P(FloatConverts, GivesTheNearestDouble) {
    const auto result = parse_float64(GetParam().text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(result.value()),
              std::bit_cast<std::uint64_t>(GetParam().expected))
        << result.value();
}

// Long literals; `sign` is "" or "-".
std::string huge(const char* sign, std::size_t digits) {
    std::string text(sign);
    text.append(digits, '9');
    return text.append(".5");
}
std::string tiny(const char* sign, std::size_t zeros) {
    std::string text(sign);
    text.append("0.").append(zeros, '0');
    return text.append("1");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatConverts,
    testing::Values(ConvertsTo<double>{"1.5", 1.5}, ConvertsTo<double>{"-0.5", -0.5},
                    ConvertsTo<double>{"5", 5.0}, ConvertsTo<double>{"+1.5", 1.5},
                    ConvertsTo<double>{"0.1", 0.1}, ConvertsTo<double>{"-0.0", -0.0},
                    ConvertsTo<double>{"007.50", 7.5}, ConvertsTo<double>{".5", 0.5},
                    ConvertsTo<double>{"5.", 5.0}, ConvertsTo<double>{"1e3", 1000.0},
                    ConvertsTo<double>{"2.5E-1", 0.25},
                    // Up to fifteen digits, each place of the point gives its own power of ten.
                    ConvertsTo<double>{"12345.6789", 12345.6789},
                    ConvertsTo<double>{"0.00000000000001", 0.00000000000001},
                    ConvertsTo<double>{"999999999999999", 999999999999999.0},
                    ConvertsTo<double>{"9.99999999999999", 9.99999999999999},
                    ConvertsTo<double>{"-.3", -0.3}, ConvertsTo<double>{"-0", -0.0},
                    ConvertsTo<double>{"0.000000000000001", 0.000000000000001},
                    ConvertsTo<double>{"1234567890.1234567", 1234567890.1234567},
                    // Halfway cases round to even.
                    ConvertsTo<double>{"9007199254740993", 9007199254740992.0},
                    ConvertsTo<double>{"9007199254740995", 9007199254740996.0},
                    ConvertsTo<double>{"1.7976931348623157e308", std::numeric_limits<double>::max()},
                    ConvertsTo<double>{"4.9e-324", std::numeric_limits<double>::denorm_min()},
                    // Beyond the range: a signed infinity or zero, not an error.
                    ConvertsTo<double>{"1.7976931348623159e308", infinity},
                    ConvertsTo<double>{huge("", 400), infinity},
                    ConvertsTo<double>{huge("-", 400), -infinity},
                    ConvertsTo<double>{"1e99999999999999999999999", infinity},
                    ConvertsTo<double>{tiny("", 400), 0.0}, ConvertsTo<double>{tiny("-", 400), -0.0},
                    ConvertsTo<double>{"1e-400", 0.0}, ConvertsTo<double>{"-1e-99999999999999999999", -0.0},
                    ConvertsTo<double>{"0.00001e-320", 0.0}));

class FloatFails : public testing::TestWithParam<FailsWith> {};

TEST_P(FloatFails, WithTheMessage) {
    const auto result = parse_float64(GetParam().text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatFails,
    testing::Values(FailsWith{"", empty_float}, FailsWith{"-", invalid_float},
                    FailsWith{"+", invalid_float}, FailsWith{".", invalid_float},
                    FailsWith{"abc", invalid_float}, FailsWith{"1.2.3", invalid_float},
                    FailsWith{"1,5", invalid_float}, FailsWith{" 1", invalid_float},
                    FailsWith{"1 ", invalid_float}, FailsWith{"1e", invalid_float},
                    FailsWith{"1e+", invalid_float}, FailsWith{"e5", invalid_float},
                    FailsWith{"--1", invalid_float}, FailsWith{"+-1", invalid_float},
                    FailsWith{"inf", invalid_float}, FailsWith{"nan", invalid_float},
                    FailsWith{"0x1p3", invalid_float}, FailsWith{"1..5", invalid_float},
                    FailsWith{"-.", invalid_float}, FailsWith{".5.", invalid_float},
                    FailsWith{"12-", invalid_float}));

// --- string unescaping ---

struct Unescapes {
    std::string text;
    std::string expected;
};
void PrintTo(const Unescapes& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class StringUnescapes : public testing::TestWithParam<Unescapes> {};

// Written into room of the text's own length: nothing past it is touched.
TEST_P(StringUnescapes, ResolvesKnownEscapesOnly) {
    const std::string& text = GetParam().text;
    std::string room(text.size() + 8, 'x');
    const std::size_t written = unescape_string_to(text, room.data());
    EXPECT_EQ(room.substr(0, written), GetParam().expected);
    EXPECT_EQ(room.substr(text.size()), std::string(8, 'x'));
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringUnescapes,
    testing::Values(Unescapes{"", ""}, Unescapes{" a b ", " a b "}, Unescapes{"a\\'b", "a'b"},
                    Unescapes{"a\\\\", "a\\"}, Unescapes{"\\n\\r\\t", "\n\r\t"},
                    Unescapes{"x\\ty\\t", "x\ty\t"},
                    Unescapes{"a\\qb", "a\\qb"}, Unescapes{"ab\\", "ab\\"}, Unescapes{"\\", "\\"},
                    // An escaped backslash does not escape what follows it.
                    Unescapes{"\\\\n", "\\n"}, Unescapes{"\\\\\\", "\\\\"},
                    Unescapes{"\\\\\\'", "\\'"},
                    // Unknown escapes beside known ones, and long runs between escapes.
                    Unescapes{"\\q\\n", "\\q\n"}, Unescapes{"\\q\\\\", "\\q\\"},
                    Unescapes{std::string(40, 'a') + "\\t" + std::string(40, 'b') + "\\",
                              std::string(40, 'a') + "\t" + std::string(40, 'b') + "\\"},
                    // A backslash before a multi-byte code point keeps both, byte for byte.
                    Unescapes{"\\\xC3\xA9x", "\\\xC3\xA9x"},
                    Unescapes{"caf\xC3\xA9\\n", "caf\xC3\xA9\n"}));

}  // namespace
}  // namespace quarnel::parser
