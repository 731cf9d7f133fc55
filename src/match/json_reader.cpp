#include "match/json_reader.hpp"

#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace quarnel::match {

namespace {

DataError invalid_json(std::uint32_t input, std::size_t offset) {
    return DataError{DataErrorKind::InvalidJson, "input " + std::to_string(input) +
                                                     ": invalid JSON at byte " +
                                                     std::to_string(offset)};
}

// ---- The strict reader

class StrictReader {
public:
    StrictReader(Store& store, std::string_view text, std::uint32_t input, std::uint32_t max_depth)
        : text_(text),
          input_(input),
          builder_(store, input, max_depth),
          utf8_valid_(simdjson::validate_utf8(text.data(), text.size())) {}

    std::optional<DataError> run(Store& store) {
        store.reserve_for(text_.size());
        auto error = parse();
        if (error) builder_.discard();
        return error;
    }

private:
    std::optional<DataError> parse() {
        // Containers still open: true for an object. The loop never recurses.
        std::vector<bool> open;
        skip_space();
        while (true) {
            if (!value()) return failure_;
            // After a value: close containers, or go on to the next member or element.
            while (true) {
                skip_space();
                if (open.empty() && !pending_open_) {
                    if (at_ != text_.size()) return invalid_json(input_, at_);
                    builder_.finish();
                    return std::nullopt;
                }
                if (pending_open_) {
                    open.push_back(pending_object_);
                    pending_open_ = false;
                    if (peek() == (open.back() ? '}' : ']')) {
                        ++at_;
                        if (!builder_.end_container()) return builder_.error();
                        open.pop_back();
                        continue;
                    }
                    if (open.back() && !member_key()) return failure_;
                    break;
                }
                if (peek() == ',') {
                    ++at_;
                    skip_space();
                    if (open.back() && !member_key()) return failure_;
                    break;
                }
                if (peek() == (open.back() ? '}' : ']')) {
                    ++at_;
                    if (!builder_.end_container()) return builder_.error();
                    open.pop_back();
                    continue;
                }
                return invalid_json(input_, at_);
            }
            skip_space();
        }
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    void skip_space() {
        if (at_ < text_.size() && static_cast<unsigned char>(text_[at_]) > ' ') return;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++at_;
        }
    }

    bool fail_at(std::size_t offset) {
        failure_ = invalid_json(input_, offset);
        return false;
    }

    bool member_key() {
        skip_space();
        if (peek() != '"') return fail_at(at_);
        std::string_view key;
        if (!string_body(key, key_)) return false;
        skip_space();
        if (peek() != ':') return fail_at(at_);
        ++at_;
        skip_space();
        builder_.key(key);
        return true;
    }

    bool value() {
        switch (peek()) {
            case '{':
            case '[': {
                const bool object = peek() == '{';
                ++at_;
                const bool ok = object ? builder_.begin_object() : builder_.begin_list();
                if (!ok) {
                    failure_ = builder_.error();
                    return false;
                }
                pending_open_ = true;
                pending_object_ = object;
                return true;
            }
            case '"': {
                std::string_view text;
                if (!string_body(text, value_)) return false;
                builder_.string(text);
                return true;
            }
            case 't': return literal("true", [&] { builder_.boolean(true); });
            case 'f': return literal("false", [&] { builder_.boolean(false); });
            case 'n': return literal("null", [&] { builder_.null(); });
            default: return number();
        }
    }

    template <typename Emit>
    bool literal(std::string_view word, Emit emit) {
        if (text_.substr(at_, word.size()) != word) return fail_at(at_);
        at_ += word.size();
        emit();
        return true;
    }

    bool number() {
        const std::size_t start = at_;
        if (peek() == '-') ++at_;
        if (peek() == '0') {
            ++at_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9') ++at_;
        } else {
            return fail_at(at_);
        }
        bool integral = true;
        if (peek() == '.') {
            integral = false;
            ++at_;
            if (!(peek() >= '0' && peek() <= '9')) return fail_at(at_);
            while (peek() >= '0' && peek() <= '9') ++at_;
        }
        if (peek() == 'e' || peek() == 'E') {
            integral = false;
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            if (!(peek() >= '0' && peek() <= '9')) return fail_at(at_);
            while (peek() >= '0' && peek() <= '9') ++at_;
        }
        const char* const first = text_.data() + start;
        const char* const last = text_.data() + at_;
        if (integral) {
            std::int64_t value = 0;
            const auto [end, ec] = std::from_chars(first, last, value);
            if (ec == std::errc() && end == last) {
                builder_.integer(value);
                return true;
            }
        }
        double real = 0;
        const auto [end, ec] = std::from_chars(first, last, real);
        if (ec == std::errc::result_out_of_range) {
            // Beyond the double range: strtod rounds to infinity or to zero as IEEE does.
            const std::string copy(first, last);
            real = std::strtod(copy.c_str(), nullptr);
        } else if (ec != std::errc() || end != last) {
            return fail_at(start);
        }
        builder_.real(real);
        return true;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool hex4(unsigned& out) {
        if (at_ + 4 > text_.size()) return fail_at(at_);
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(text_[at_ + static_cast<std::size_t>(i)]);
            if (d < 0) return fail_at(at_ + static_cast<std::size_t>(i));
            value = value * 16 + static_cast<unsigned>(d);
        }
        at_ += 4;
        out = value;
        return true;
    }

    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool escape(std::string& out) {
        const std::size_t start = at_ - 1;  // the backslash
        const char c = peek();
        ++at_;
        switch (c) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return fail_at(start);
        }
        unsigned cp = 0;
        if (!hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(start);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low = 0;
            if (text_.substr(at_, 2) != "\\u") return fail_at(start);
            at_ += 2;
            if (!hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail_at(start);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(out, cp);
        return true;
    }

    // One UTF-8 sequence, validated: no overlong forms, no surrogates, nothing past U+10FFFF.
    bool utf8_sequence(std::string& out) {
        const auto byte = [&](std::size_t i) {
            return at_ + i < text_.size() ? static_cast<unsigned char>(text_[at_ + i]) : 0u;
        };
        const unsigned lead = byte(0);
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return fail_at(at_);
        }
        const unsigned second = byte(1);
        if (second < low || second > high) return fail_at(at_);
        for (std::size_t i = 2; i < length; ++i) {
            const unsigned next = byte(i);
            if (next < 0x80 || next > 0xBF) return fail_at(at_);
        }
        out.append(text_.substr(at_, length));
        at_ += length;
        return true;
    }

    // The string at the cursor: a view of the input when it holds no escape, else decoded
    // into `buffer`.
    bool string_body(std::string_view& out, std::string& buffer) {
        const std::size_t start = ++at_;  // after the opening quote
        // Text already known to be valid UTF-8 needs only its quote, escapes and controls found.
        if (utf8_valid_) skip_plain();
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"' || c == '\\' || c < 0x20 || (c >= 0x80 && !utf8_valid_)) break;
            ++at_;
        }
        if (at_ < text_.size() && text_[at_] == '"') {
            out = text_.substr(start, at_ - start);
            ++at_;
            return true;
        }
        buffer.assign(text_.substr(start, at_ - start));
        if (!decode_rest(buffer)) return false;
        out = buffer;
        return true;
    }

    // Skips, 16 bytes at a time, characters that need no attention: not a quote, not a
    // backslash, not a control character.
    void skip_plain() {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i control_max = _mm_set1_epi8(0x1F);
        while (at_ + 16 <= text_.size()) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_.data() + at_));
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(chunk, control_max), chunk);
            const __m128i special =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
            if (mask != 0) {
                at_ += static_cast<std::size_t>(__builtin_ctz(mask));
                return;
            }
            at_ += 16;
        }
#endif
    }

    bool decode_rest(std::string& out) {
        while (true) {
            if (at_ >= text_.size()) return fail_at(at_);
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                ++at_;
                if (!escape(out)) return false;
            } else if (c < 0x20) {
                return fail_at(at_);
            } else if (c < 0x80) {
                out += static_cast<char>(c);
                ++at_;
            } else if (!utf8_sequence(out)) {
                return false;
            }
        }
    }

    std::string_view text_;
    std::uint32_t input_;
    Builder builder_;
    const bool utf8_valid_;
    std::size_t at_ = 0;
    std::string key_, value_;  // decoded strings that held escapes
    bool pending_open_ = false;
    bool pending_object_ = false;
    DataError failure_{DataErrorKind::InvalidJson, ""};
};

// ---- The fast path: a simdjson document walked into the builder without recursion

struct Frame {
    bool object;
    simdjson::dom::object::iterator member, members_end;
    simdjson::dom::array::iterator element, elements_end;
};

// Adds a scalar, or opens a container and pushes its frame; false with the builder's error.
bool emit(Builder& builder, simdjson::dom::element value, std::vector<Frame>& frames) {
    using simdjson::dom::element_type;
    switch (value.type()) {
        case element_type::OBJECT: {
            if (!builder.begin_object()) return false;
            const simdjson::dom::object object = value.get_object().value_unsafe();
            frames.push_back({true, object.begin(), object.end(), {}, {}});
            return true;
        }
        case element_type::ARRAY: {
            if (!builder.begin_list()) return false;
            const simdjson::dom::array array = value.get_array().value_unsafe();
            frames.push_back({false, {}, {}, array.begin(), array.end()});
            return true;
        }
        case element_type::STRING: builder.string(value.get_string().value_unsafe()); return true;
        case element_type::INT64: builder.integer(value.get_int64().value_unsafe()); return true;
        case element_type::UINT64:
            builder.real(static_cast<double>(value.get_uint64().value_unsafe()));
            return true;
        case element_type::DOUBLE: builder.real(value.get_double().value_unsafe()); return true;
        case element_type::BOOL: builder.boolean(value.get_bool().value_unsafe()); return true;
        case element_type::NULL_VALUE: builder.null(); return true;
    }
    return true;
}

std::optional<DataError> walk(Builder& builder, simdjson::dom::element root) {
    std::vector<Frame> frames;
    if (!emit(builder, root, frames)) return builder.error();
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.object ? frame.member == frame.members_end : frame.element == frame.elements_end) {
            frames.pop_back();
            if (!builder.end_container()) return builder.error();
            continue;
        }
        simdjson::dom::element next;
        if (frame.object) {
            builder.key(frame.member.key());
            next = frame.member.value();
            ++frame.member;
        } else {
            next = *frame.element;
            ++frame.element;
        }
        if (!emit(builder, next, frames)) return builder.error();
    }
    builder.finish();
    return std::nullopt;
}

}  // namespace

std::optional<DataError> read_json_strict(Store& store, std::string_view text, std::uint32_t input,
                                          std::uint32_t max_depth) {
    return StrictReader(store, text, input, max_depth).run(store);
}

struct JsonReader::Engine {
    simdjson::dom::parser parser;
};

JsonReader::JsonReader() : engine_(std::make_unique<Engine>()) {}
JsonReader::~JsonReader() = default;

std::optional<DataError> JsonReader::read(Store& store, std::string_view text, std::uint32_t input,
                                          std::uint32_t max_depth) {
    // simdjson may nest a little deeper than the limit; the builder reports the exact spot.
    const std::size_t depth = static_cast<std::size_t>(max_depth) + 2;
    if (engine_->parser.max_depth() < depth &&
        engine_->parser.allocate(std::max<std::size_t>(text.size(), 64), depth) != simdjson::SUCCESS) {
        return read_json_strict(store, text, input, max_depth);
    }
    simdjson::dom::element root;
    if (engine_->parser.parse(text.data(), text.size(), true).get(root) != simdjson::SUCCESS) {
        return read_json_strict(store, text, input, max_depth);
    }
    store.reserve_for(text.size());
    Builder builder(store, input, max_depth);
    auto error = walk(builder, root);
    if (error) builder.discard();
    return error;
}

}  // namespace quarnel::match
