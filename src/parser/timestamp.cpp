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

// A cursor over the text that reads numeric fields and literals.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool at_end() const { return at_ == text_.size(); }

    // Exactly `count` digits.
    std::optional<int> digits(std::size_t count) {
        const std::size_t begin = at_;
        const auto value = up_to_digits(count);
        if (value && at_ - begin == count) {
            return static_cast<int>(*value);
        }
        at_ = begin;
        return std::nullopt;
    }

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

    // One or more digits after a point; the first nine give the nanoseconds, later ones
    // are dropped.
    std::optional<std::uint32_t> fraction() {
        const std::size_t begin = at_;
        std::uint32_t value = 0;
        std::uint32_t scale = nanoseconds_per_second;
        while (at_ < text_.size() && is_digit(text_[at_])) {
            if (scale > 1) {
                scale /= 10;
                value += static_cast<std::uint32_t>(text_[at_] - '0') * scale;
            }
            ++at_;
        }
        if (at_ == begin) {
            return std::nullopt;
        }
        return value;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// How wide the fields may be: RFC 3339 wants a four-digit year and two-digit fields; a
// text without a zone may write each field with one digit or more.
enum class Widths : bool { fixed, flexible };

// Four digits; when flexible, 1 to 4 digits, or a sign and any number of digits.
std::optional<std::int64_t> read_year(Reader& reader, Widths widths) {
    if (widths == Widths::fixed) {
        return reader.digits(4);
    }
    const bool negative = reader.peek() == '-';
    if (reader.literal("+-")) {
        const auto magnitude = reader.up_to_digits(std::numeric_limits<std::size_t>::max());
        if (!magnitude) return std::nullopt;
        return negative ? -*magnitude : *magnitude;
    }
    return reader.up_to_digits(4);
}

// Month, day, hour, minute or second: two digits; when flexible, one or two.
std::optional<int> read_field(Reader& reader, Widths widths) {
    if (widths == Widths::fixed) {
        return reader.digits(2);
    }
    const auto value = reader.up_to_digits(2);
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

// year "-" month "-" day, the separator (one of `separators`), then hour ":" minute ":" second.
bool read_date_time(Reader& reader, Widths widths, std::string_view separators, Fields& fields) {
    const auto year = read_year(reader, widths);
    if (!year || *year < min_year || *year > max_year || !reader.literal("-")) return false;
    const auto month = read_field(reader, widths);
    if (!month || !reader.literal("-")) return false;
    const auto day = read_field(reader, widths);
    if (!day || !reader.literal(separators)) return false;
    const auto hour = read_field(reader, widths);
    if (!hour || !reader.literal(":")) return false;
    const auto minute = read_field(reader, widths);
    if (!minute || !reader.literal(":")) return false;
    const auto second = read_field(reader, widths);
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

// "Z", "z", or "+hh:mm" / "-hh:mm" with hours up to 23 and minutes up to 59.
bool read_zone(Reader& reader, Fields& fields) {
    if (reader.literal("Zz")) {
        return true;
    }
    const bool west = reader.peek() == '-';
    if (!reader.literal("+-")) return false;
    const auto hours = reader.digits(2);
    if (!hours || !reader.literal(":")) return false;
    const auto minutes = reader.digits(2);
    if (!minutes || *hours > 23 || *minutes > 59) return false;
    const std::int32_t offset = *hours * 3600 + *minutes * 60;
    fields.offset_seconds = west ? -offset : offset;
    return true;
}

// RFC 3339 with a zone: four-digit year, two-digit fields.
std::optional<Fields> read_rfc3339(std::string_view text) {
    Reader reader(text);
    Fields fields;
    if (read_date_time(reader, Widths::fixed, "Tt ", fields) && read_fraction(reader, fields) &&
        read_zone(reader, fields) && reader.at_end()) {
        return fields;
    }
    return std::nullopt;
}

// Without a zone only "T" separates date and time, each field takes one digit or more
// and the fraction is optional.
std::optional<Fields> read_local(std::string_view text) {
    Reader reader(text);
    Fields fields;
    if (read_date_time(reader, Widths::flexible, "T", fields) && read_fraction(reader, fields) && reader.at_end()) {
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
    std::optional<Fields> fields = read_rfc3339(text);
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
