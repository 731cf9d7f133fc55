#include "parser/timestamp.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quarnel::parser {

namespace {

using namespace std::chrono;

constexpr std::int32_t seconds_per_day = 86400;
constexpr std::uint32_t nanoseconds_per_second = 1'000'000'000;

// The fields of a date-time as written, before any validation of the calendar.
struct Fields {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::uint32_t nanoseconds = 0;
    std::int32_t offset_seconds = 0;  // east of UTC
};

// A cursor over the text that reads fixed-width fields and literals strictly.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool at_end() const { return at_ == text_.size(); }

    std::optional<int> digits(std::size_t count) {
        if (text_.size() - at_ < count) {
            return std::nullopt;
        }
        int value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text_[at_ + i];
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        at_ += count;
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
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
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

// "YYYY-MM-DD", the separator (one of `separators`), then "hh:mm:ss".
bool read_date_time(Reader& reader, std::string_view separators, Fields& fields) {
    const auto year = reader.digits(4);
    if (!year || !reader.literal("-")) return false;
    const auto month = reader.digits(2);
    if (!month || !reader.literal("-")) return false;
    const auto day = reader.digits(2);
    if (!day || !reader.literal(separators)) return false;
    const auto hour = reader.digits(2);
    if (!hour || !reader.literal(":")) return false;
    const auto minute = reader.digits(2);
    if (!minute || !reader.literal(":")) return false;
    const auto second = reader.digits(2);
    if (!second) return false;
    fields.year = *year;
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

std::optional<Fields> read_rfc3339(std::string_view text) {
    Reader reader(text);
    Fields fields;
    if (read_date_time(reader, "Tt ", fields) && read_fraction(reader, fields) &&
        read_zone(reader, fields) && reader.at_end()) {
        return fields;
    }
    return std::nullopt;
}

// Without a zone only "T" separates date and time; the fraction is optional.
std::optional<Fields> read_local(std::string_view text) {
    Reader reader(text);
    Fields fields;
    if (read_date_time(reader, "T", fields) && read_fraction(reader, fields) && reader.at_end()) {
        return fields;
    }
    return std::nullopt;
}

// Checks the calendar and the clock, then moves the instant to UTC. A leap second is
// second 59 carrying an extra second in its fraction.
std::optional<ast::Timestamp> to_utc(const Fields& fields) {
    const year_month_day date{year{fields.year}, month{fields.month}, day{fields.day}};
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
    timestamp.date = year_month_day{sys_days{date} + days{day_shift}};
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
