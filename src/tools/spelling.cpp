#include "tools/spelling.hpp"

#include <array>
#include <charconv>
#include <cstdint>

namespace quarnel::tools {

namespace {

constexpr std::uint32_t nanoseconds_per_second = 1'000'000'000;

// Zero-padded to `width` digits, with a leading '-' for negative values ("-0001").
void append_padded(std::string& out, long value, int width) {
    if (value < 0) {
        out += '-';
        value = -value;
    }
    std::array<char, 24> digits{};
    const auto [end, error] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    const auto length = static_cast<int>(end - digits.data());
    if (length < width) {
        out.append(static_cast<std::size_t>(width - length), '0');
    }
    out.append(digits.data(), end);
}

// Decodes one UTF-8 sequence at `at` (the input is valid UTF-8: it came through Python's
// str or the parser, which checks it); returns the code point and advances `at`.
char32_t next_code_point(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length && at + i < text.size(); ++i) {
        point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    }
    at += static_cast<std::size_t>(length);
    return point;
}

void append_unicode_escape(std::string& out, unsigned unit) {
    constexpr std::string_view hex = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += hex[(unit >> shift) & 0xF];
    }
}

}  // namespace

void append_plain_float(std::string& out, double value) {
    // Fixed notation of a double takes at most 310 digits before the point and 1075 after.
    std::array<char, 1100> digits{};
    const auto [end, error] =
        std::to_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
    const std::string_view written(digits.data(), static_cast<std::size_t>(end - digits.data()));
    out += written;
    if (written.find('.') == std::string_view::npos) {
        out += ".0";
    }
}

void append_utc_timestamp(std::string& out, const ast::Timestamp& timestamp) {
    const bool leap = timestamp.nanoseconds >= nanoseconds_per_second;
    const std::uint32_t fraction = timestamp.nanoseconds % nanoseconds_per_second;
    const int seconds_of_day = timestamp.seconds_of_day;
    append_padded(out, static_cast<int>(timestamp.date.year()), 4);
    out += '-';
    append_padded(out, static_cast<unsigned>(timestamp.date.month()), 2);
    out += '-';
    append_padded(out, static_cast<unsigned>(timestamp.date.day()), 2);
    out += 'T';
    append_padded(out, seconds_of_day / 3600, 2);
    out += ':';
    append_padded(out, seconds_of_day / 60 % 60, 2);
    out += ':';
    append_padded(out, seconds_of_day % 60 + (leap ? 1 : 0), 2);
    if (fraction != 0) {
        std::string digits;
        append_padded(digits, fraction, 9);
        out += '.';
        out += std::string_view(digits).substr(0, digits.find_last_not_of('0') + 1);
    }
    out += 'Z';
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
            ++at;
            continue;
        }
        switch (c) {
            case '\n': out += "\\n"; ++at; continue;
            case '\r': out += "\\r"; ++at; continue;
            case '\t': out += "\\t"; ++at; continue;
            default: break;
        }
        const char32_t point = next_code_point(text, at);
        if (point >= 0x10000) {
            const char32_t offset = point - 0x10000;
            append_unicode_escape(out, 0xD800 + (offset >> 10));
            append_unicode_escape(out, 0xDC00 + (offset & 0x3FF));
        } else {
            append_unicode_escape(out, point);
        }
    }
    out += '"';
}

}  // namespace quarnel::tools
