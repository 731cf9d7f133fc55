#include "parser/timestamp.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace quarnel::parser {

namespace {

constexpr std::int32_t seconds_per_day = 86400;
constexpr std::uint32_t nanoseconds_per_second = 1'000'000'000;

// The fields of a date-time as written, before any validation of the calendar.
struct Fields {
    std::int32_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::uint32_t nanoseconds = 0;
    std::int32_t offset_seconds = 0;  // east of UTC
};

// Years that a timestamp without a zone may name.
constexpr std::int64_t min_year = -262'144;
constexpr std::int64_t max_year = 262'143;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One or more digits from `at` on, after a point; the first nine give the nanoseconds,
// later ones are dropped.
std::optional<std::uint32_t> fraction_digits(std::string_view text, std::size_t& at) {
    const std::size_t begin = at;
    std::uint32_t value = 0;
    std::uint32_t scale = nanoseconds_per_second;
    while (at < text.size() && is_digit(text[at])) {
        if (scale > 1) {
            scale /= 10;
            value += static_cast<std::uint32_t>(text[at] - '0') * scale;
        }
        ++at;
    }
    if (at == begin) {
        return std::nullopt;
    }
    return value;
}

// A cursor over the text that reads numeric fields and literals.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool at_end() const { return at_ == text_.size(); }

    // One to `most` digits, as many as there are.
    std::optional<std::int64_t> up_to_digits(std::size_t most) {
        const std::size_t begin = at_;
        std::int64_t value = 0;
        while (at_ < text_.size() && at_ - begin < most && is_digit(text_[at_])) {
            if (value > (std::numeric_limits<std::int64_t>::max() - 9) / 10) {
                return std::nullopt;
            }
            value = value * 10 + (text_[at_] - '0');
            ++at_;
        }
        if (at_ == begin) {
            return std::nullopt;
        }
        return value;
    }

    bool literal(std::string_view choices) {
        if (at_ < text_.size() && choices.find(text_[at_]) != std::string_view::npos) {
            ++at_;
            return true;
        }
        return false;
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    std::optional<std::uint32_t> fraction() { return fraction_digits(text_, at_); }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// 1 to 4 digits, or a sign and any number of digits.
std::optional<std::int64_t> read_year(Reader& reader) {
    const bool negative = reader.peek() == '-';
    if (reader.literal("+-")) {
        const auto magnitude = reader.up_to_digits(std::numeric_limits<std::size_t>::max());
        if (!magnitude) return std::nullopt;
        return negative ? -*magnitude : *magnitude;
    }
    return reader.up_to_digits(4);
}

// Month, day, hour, minute or second: one or two digits.
std::optional<int> read_field(Reader& reader) {
    const auto value = reader.up_to_digits(2);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

// year "-" month "-" day "T" hour ":" minute ":" second.
bool read_date_time(Reader& reader, Fields& fields) {
    const auto year = read_year(reader);
    if (!year || *year < min_year || *year > max_year || !reader.literal("-")) return false;
    const auto month = read_field(reader);
    if (!month || !reader.literal("-")) return false;
    const auto day = read_field(reader);
    if (!day || !reader.literal("T")) return false;
    const auto hour = read_field(reader);
    if (!hour || !reader.literal(":")) return false;
    const auto minute = read_field(reader);
    if (!minute || !reader.literal(":")) return false;
    const auto second = read_field(reader);
    if (!second) return false;
    fields.year = static_cast<std::int32_t>(*year);
    fields.month = static_cast<unsigned>(*month);
    fields.day = static_cast<unsigned>(*day);
    fields.hour = *hour;
    fields.minute = *minute;
    fields.second = *second;
    return true;
}

bool read_fraction(Reader& reader, Fields& fields) {
    if (!reader.literal(".")) {
        return true;
    }
    const auto fraction = reader.fraction();
    if (!fraction) {
        return false;
    }
    fields.nanoseconds = *fraction;
    return true;
}

// The value of the two digits at `at`, if both are digits.
std::optional<int> two_digits(std::string_view text, std::size_t at) {
    if (!is_digit(text[at]) || !is_digit(text[at + 1])) {
        return std::nullopt;
    }
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

// "Z", "z", or "+hh:mm" / "-hh:mm" with hours up to 23 and minutes up to 59, filling the
// whole of `zone`.
bool read_zone(std::string_view zone, Fields& fields) {
    if (zone == "Z" || zone == "z") {
        return true;
    }
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
        return false;
    }
    const auto hours = two_digits(zone, 1);
    const auto minutes = two_digits(zone, 4);
    if (!hours || !minutes || *hours > 23 || *minutes > 59) return false;
    const std::int32_t offset = *hours * 3600 + *minutes * 60;
    fields.offset_seconds = zone[0] == '-' ? -offset : offset;
    return true;
}

// Four-digit year and two-digit fields, read by position: every text with a zone, and the
// usual texts without one. "T", "t" or a space separates date and time when a zone
// follows; without a zone only "T" does. Other zoneless texts go to the general reader.
std::optional<Fields> read_fixed_width(std::string_view text) {
    constexpr std::size_t date_time_size = 19;  // "YYYY-MM-DDThh:mm:ss"
    if (text.size() < date_time_size || text[4] != '-' || text[7] != '-' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    const auto century = two_digits(text, 0);
    const auto year_of_century = two_digits(text, 2);
    const auto month = two_digits(text, 5);
    const auto day = two_digits(text, 8);
    const auto hour = two_digits(text, 11);
    const auto minute = two_digits(text, 14);
    const auto second = two_digits(text, 17);
    if (!century || !year_of_century || !month || !day || !hour || !minute || !second) {
        return std::nullopt;
    }
    Fields fields;
    fields.year = *century * 100 + *year_of_century;
    fields.month = static_cast<unsigned>(*month);
    fields.day = static_cast<unsigned>(*day);
    fields.hour = *hour;
    fields.minute = *minute;
    fields.second = *second;
    std::size_t at = date_time_size;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const auto fraction = fraction_digits(text, at);
        if (!fraction) return std::nullopt;
        fields.nanoseconds = *fraction;
    }
    const char separator = text[10];
    const std::string_view zone = text.substr(at);
    if (zone.empty()) {
        return separator == 'T' ? std::optional<Fields>(fields) : std::nullopt;
    }
    if ((separator != 'T' && separator != 't' && separator != ' ') || !read_zone(zone, fields)) {
        return std::nullopt;
    }
    return fields;
}

// Without a zone each field takes one digit or more, a year may carry a sign, and the
// fraction is optional.
std::optional<Fields> read_local(std::string_view text) {
    Reader reader(text);
    Fields fields;
    if (read_date_time(reader, fields) && read_fraction(reader, fields) && reader.at_end()) {
        return fields;
    }
    return std::nullopt;
}

// Checks the calendar and the clock, then moves the instant to UTC. A leap second is
// second 59 carrying an extra second in its fraction.
std::optional<ast::Timestamp> to_utc(const Fields& fields) {
    const ast::Date date(fields.year, fields.month, fields.day);
    if (!date.ok() || fields.hour > 23 || fields.minute > 59 || fields.second > 60) {
        return std::nullopt;
    }
    const bool leap_second = fields.second == 60;
    const std::int32_t local_seconds =
        fields.hour * 3600 + fields.minute * 60 + (leap_second ? 59 : fields.second);
    const std::int32_t utc_seconds = local_seconds - fields.offset_seconds;
    // The offset moves the instant by less than a day either way.
    const std::int32_t day_shift = utc_seconds < 0 ? -1 : (utc_seconds >= seconds_per_day ? 1 : 0);
    ast::Timestamp timestamp;
    timestamp.date = day_shift == 0 ? date : ast::Date::from_days(date.days_since_epoch() + day_shift);
    timestamp.seconds_of_day = utc_seconds - day_shift * seconds_per_day;
    timestamp.nanoseconds = fields.nanoseconds + (leap_second ? nanoseconds_per_second : 0);
    return timestamp;
}

}  // namespace

Result<ast::Timestamp> parse_timestamp(std::string_view text) {
    std::optional<Fields> fields = read_fixed_width(text);
    if (!fields) {
        fields = read_local(text);
    }
    if (fields) {
        if (const auto timestamp = to_utc(*fields)) {
            return *timestamp;
        }
    }
    return ParseError(ParseError::InvalidTimestamp{std::string(text)});
}

}  // namespace quarnel::parser
