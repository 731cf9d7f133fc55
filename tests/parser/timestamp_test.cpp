#include "parser/timestamp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace quarnel::parser {
namespace {

using namespace std::chrono;

struct Instant {
    std::string text;
    int year;
    unsigned month;
    unsigned day;
    std::int32_t seconds_of_day;
    std::uint32_t nanoseconds;
};
void PrintTo(const Instant& c, std::ostream* os) {
    *os << c.text;
}

constexpr std::int32_t hms(int h, int m, int s) {
    return h * 3600 + m * 60 + s;
}
constexpr std::uint32_t leap = 1'000'000'000;

class TimestampConverts : public testing::TestWithParam<Instant> {};

TEST_P(TimestampConverts, ToTheUtcInstant) {
    const Instant& c = GetParam();
    const auto result = parse_timestamp(c.text);
    ASSERT_TRUE(result.ok()) << result.error().message();
    const ast::Timestamp expected{ast::Date(c.year, c.month, c.day), c.seconds_of_day, c.nanoseconds};
    EXPECT_EQ(result.value(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc3339, TimestampConverts,
    testing::Values(Instant{"2016-01-01T00:00:00Z", 2016, 1, 1, 0, 0},
                    Instant{"2016-01-01t12:34:56z", 2016, 1, 1, hms(12, 34, 56), 0},
                    Instant{"2016-01-01 12:34:56Z", 2016, 1, 1, hms(12, 34, 56), 0},
                    Instant{"2020-01-01T00:00:00-05:00", 2020, 1, 1, hms(5, 0, 0), 0},
                    Instant{"2020-01-01T00:00:00-00:00", 2020, 1, 1, 0, 0},
                    Instant{"2016-01-01T00:00:00+01:00", 2015, 12, 31, hms(23, 0, 0), 0},
                    Instant{"2016-01-01T00:00:00.123Z", 2016, 1, 1, 0, 123'000'000},
                    Instant{"2016-01-01T00:00:00.000000001Z", 2016, 1, 1, 0, 1},
                    // Digits past the ninth are dropped, not rounded.
                    Instant{"2016-01-01T00:00:00.1234567899Z", 2016, 1, 1, 0, 123'456'789},
                    Instant{"2016-12-31T23:59:60Z", 2016, 12, 31, hms(23, 59, 59), leap},
                    Instant{"2016-12-31T23:59:60.5-01:00", 2017, 1, 1, hms(0, 59, 59), leap + 500'000'000},
                    Instant{"2020-02-29T12:00:00Z", 2020, 2, 29, hms(12, 0, 0), 0},
                    Instant{"2000-03-01T00:00:00+01:00", 2000, 2, 29, hms(23, 0, 0), 0},
                    Instant{"2020-03-01T00:30:00+23:59", 2020, 2, 29, hms(0, 31, 0), 0},
                    Instant{"2020-12-31T23:30:00-23:59", 2021, 1, 1, hms(23, 29, 0), 0},
                    // Offsets may carry an instant out of the four-digit years.
                    Instant{"0000-01-01T00:00:00+00:01", -1, 12, 31, hms(23, 59, 0), 0},
                    Instant{"9999-12-31T23:59:00-00:01", 10000, 1, 1, 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    WithoutZone, TimestampConverts,
    testing::Values(Instant{"2020-01-01T00:00:00", 2020, 1, 1, 0, 0},
                    Instant{"2020-06-15T23:59:59", 2020, 6, 15, hms(23, 59, 59), 0},
                    Instant{"2020-01-01T00:00:00.5", 2020, 1, 1, 0, 500'000'000},
                    Instant{"2020-01-01T00:00:00.0000000019", 2020, 1, 1, 0, 1},
                    Instant{"2016-12-31T23:59:60", 2016, 12, 31, hms(23, 59, 59), leap},
                    Instant{"2016-12-31T23:59:60.25", 2016, 12, 31, hms(23, 59, 59), leap + 250'000'000},
                    // Each field takes as many digits as there are, up to its width.
                    Instant{"2020-1-1T1:2:3", 2020, 1, 1, hms(1, 2, 3), 0},
                    Instant{"2020-1-01T00:00:00", 2020, 1, 1, 0, 0},
                    Instant{"2020-01-01T0:00:00", 2020, 1, 1, 0, 0},
                    Instant{"2020-01-01T00:00:7.5", 2020, 1, 1, 7, 500'000'000},
                    Instant{"2016-12-31T3:4:60", 2016, 12, 31, hms(3, 4, 59), leap},
                    Instant{"20-01-01T00:00:00", 20, 1, 1, 0, 0},
                    Instant{"0-01-01T00:00:00", 0, 1, 1, 0, 0},
                    Instant{"0-02-29T00:00:00", 0, 2, 29, 0, 0},
                    // A signed year takes any number of digits.
                    Instant{"+2020-01-01T00:00:00", 2020, 1, 1, 0, 0},
                    Instant{"-0001-01-01T00:00:00", -1, 1, 1, 0, 0},
                    Instant{"-2020-01-01T00:00:00", -2020, 1, 1, 0, 0},
                    Instant{"+20200-01-01T00:00:00", 20200, 1, 1, 0, 0},
                    Instant{"+000000000000002020-01-01T00:00:00", 2020, 1, 1, 0, 0},
                    Instant{"+262143-12-31T23:59:59", 262143, 12, 31, hms(23, 59, 59), 0},
                    Instant{"-262144-01-01T00:00:00", -262144, 1, 1, 0, 0},
                    Instant{"+262140-02-29T00:00:00", 262140, 2, 29, 0, 0},
                    // As long as the four-digit form, but the sign makes it a short year.
                    Instant{"+020-01-01T00:00:00", 20, 1, 1, 0, 0},
                    Instant{"-020-01-01T00:00:00.5", -20, 1, 1, 0, 500'000'000},
                    Instant{"2020-01-01T00:00:00.1234567891", 2020, 1, 1, 0, 123'456'789}));

class TimestampFails : public testing::TestWithParam<std::string> {};

TEST_P(TimestampFails, NamingTheWholeText) {
    const auto result = parse_timestamp(GetParam());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "Invalid timestamp: " + GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, TimestampFails,
    testing::Values("2020-13-01T00:00:00Z", "2020-00-10T00:00:00Z", "2020-01-00T00:00:00Z",
                    "2020-02-30T00:00:00Z", "2019-02-29T00:00:00Z", "1900-02-29T00:00:00Z",
                    "2020-04-31T00:00:00", "2020-01-01T24:00:00Z", "2020-01-01T00:60:00Z",
                    "2020-01-01T00:00:61Z", "2020-01-01T24:00:00", "2020-01-01T00:00:00+24:00",
                    "2020-01-01T00:00:00-01:60"));

INSTANTIATE_TEST_SUITE_P(
    Shape, TimestampFails,
    testing::Values("", "yesterday", "2020-01-01", "2020-01-01T00:00Z", "20201-01-01T00:00:00Z",
                    "202-01-01T00:00:00Z", "2020-1-01T00:00:00Z", "2020-01-1T00:00:00Z",
                    "2020-01-01T0:00:00Z", "2020-01-01T00:0:00Z", "2020-01-01T00:00:0Z",
                    "+2020-01-01T00:00:00Z", "-2020-01-01T00:00:00Z", " 2020-01-01T00:00:00Z",
                    "2020-01-01T00:00:00Z ", "2020-01-01T00:00:00 Z", "2020-01-01T00:00:00ZZ",
                    "2020-01-01T00:00:00Zjunk", "2020-01-01X00:00:00Z", "2020/01/01T00:00:00Z",
                    "2020-01-01T00:00:00.Z", "2020-01-01T00:00:00.", "2020-01-01T00:00:00,5Z",
                    "2020-01-01T00:00:00+0100", "2020-01-01T00:00:00+01", "2020-01-01T00:00:00+1:00",
                    "2020-01-01T00:00:00+01:00:00",
                    // Without a zone only an upper-case T separates date and time.
                    "2020-01-01 00:00:00", "2020-01-01t00:00:00"));

INSTANTIATE_TEST_SUITE_P(
    WithoutZone, TimestampFails,
    testing::Values("20200-01-01T00:00:00", "2020-001-01T00:00:00", "2020-01-001T00:00:00",
                    "2020-01-01T000:00:00", "2020-01-01T00:000:00", "2020-01-01T00:00:000",
                    "2020--01-01T00:00:00", "2020-01-01T00:00:00.", "2020-01-01T00:00:00.x",
                    "+-2020-01-01T00:00:00", "+-01-01T00:00:00", "-01-01T00:00:00",
                    "+262144-01-01T00:00:00", "-262145-01-01T00:00:00",
                    "+99999999999999999999-01-01T00:00:00", "2019-2-29T00:00:00", "2020-1-1T24:0:0",
                    "2020-1-1T1:60:0", "2020-1-1T1:1:61", "2020-13-1T0:0:0", "2020-0-1T0:0:0",
                    "2020-1-0T0:0:0", "-1-02-29T00:00:00", "2020-01-01T00:00:00Z0"));

// Texts of the four-digit, two-digit-field shape, read by position, with one character
// wrong: a non-digit (including the neighbours of '0' and '9') in each field, a bad zone,
// or a separator and fraction that only a zone allows.
INSTANTIATE_TEST_SUITE_P(
    FixedWidth, TimestampFails,
    testing::Values("/020-01-01T00:00:00Z", "202:-01-01T00:00:00Z", "2020-/1-01T00:00:00Z",
                    "2020-0:-01T00:00:00Z", "2020-01-x1T00:00:00Z", "2020-01-0xT00:00:00Z",
                    "2020-01-01T/0:00:00Z", "2020-01-01T0::00:00Z", "2020-01-01T00:/0:00Z",
                    "2020-01-01T00:0::00Z", "2020-01-01T00:00:/0Z", "2020-01-01T00:00:0:Z",
                    "2020-01-01T00:00:0/", "2020-01-01T00:00:00+0x:00", "2020-01-01T00:00:00+01:x0",
                    "2020-01-01T00:00:00+01;00", "2020-01-01T00:00:00*01:00", "2020-01-01T00:00:00+01:0",
                    "2020-01-01T00:00:00+01:000", "2020-01-01T00:00:00.5+01:00x", "2020-01-01T00:00:00.5x",
                    "2020-01-01t00:00:00.5", "2020-01-01 00:00:00.5", "-020-01-01T00:00:00Z",
                    "2020-01-01T00:00:00zZ"));

}  // namespace
}  // namespace quarnel::parser
