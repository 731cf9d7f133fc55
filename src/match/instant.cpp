#include "match/instant.hpp"

#include <chrono>

namespace quarnel::match {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& out) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

bool leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (years 0 to 9999 here).
std::int64_t days_from_civil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int year_of_era = year - era * 400;
    const int day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return std::int64_t{era} * 146'097 + day_of_era - 719'468;
}

}  // namespace

std::optional<Instant> parse_data_timestamp(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS is 19 characters; then an optional fraction and the Z.
    if (text.size() < 20 || text.back() != 'Z') return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
        !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) ||
        !digits(text, 17, 2, second)) {
        return std::nullopt;
    }
    std::int64_t fraction = 0;
    const std::size_t end = text.size() - 1;
    if (end > 19) {
        if (text[19] != '.' || end == 20) return std::nullopt;
        std::int64_t scale = 100'000'000;
        for (std::size_t i = 20; i < end; ++i) {
            const char c = text[i];
            if (c < '0' || c > '9') return std::nullopt;
            fraction += (c - '0') * scale;
            scale /= 10;
        }
    }
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (day < 1 || day > days_in_month(year, month)) return std::nullopt;
    const Instant days = days_from_civil(year, month, day);
    return (days * 86'400 + hour * 3600 + minute * 60 + second) * nanos_per_second + fraction;
}

Instant to_instant(const ast::Timestamp& timestamp) {
    const std::chrono::sys_days days{timestamp.date};
    const Instant day_count = days.time_since_epoch().count();
    return (day_count * 86'400 + timestamp.seconds_of_day) * nanos_per_second +
           timestamp.nanoseconds;
}

std::string to_decimal(Instant value) {
    if (value == 0) return "0";
    const bool negative = value < 0;
    Uint128 magnitude =
        negative ? -static_cast<Uint128>(value) : static_cast<Uint128>(value);
    std::string reversed;
    while (magnitude != 0) {
        reversed += static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    }
    if (negative) reversed += '-';
    return {reversed.rbegin(), reversed.rend()};
}

}  // namespace quarnel::match
