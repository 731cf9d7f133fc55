#define PCRE2_CODE_UNIT_WIDTH 8
#include "tools/strict_values.hpp"

#include <arpa/inet.h>
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>

#include "tools/observable_model.hpp"

namespace quarnel::tools::strict {

namespace {

bool all_of_chars(std::string_view text, bool (*accept)(char)) {
    return std::all_of(text.begin(), text.end(), accept);
}

// ASCII only, whatever the process locale (Python sets it from the environment).
bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_hex_digit(char c) {
    return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_base64_char(char c) {
    return is_ascii_letter(c) || is_decimal_digit(c) || c == '+' || c == '/';
}

// Upper case without punctuation: "sha-256", "SHA_256" and "Sha256" all give "SHA256".
std::string folded(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (is_ascii_letter(c) || is_decimal_digit(c)) {
            out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        }
    }
    return out;
}

struct HexHash {
    std::string_view algorithm;
    std::size_t digits;
};

constexpr std::array<HexHash, 6> hex_hashes{{
    {"MD5", 32},
    {"SHA-1", 40},
    {"SHA-256", 64},
    {"SHA3-256", 64},
    {"SHA-512", 128},
    {"SHA3-512", 128},
}};

std::optional<std::string> hex_hash_problem(const HexHash& hash, std::string_view value) {
    if (value.size() == hash.digits && all_of_chars(value, &is_hex_digit)) {
        return std::nullopt;
    }
    return std::string(hash.algorithm) + " hashes are " + std::to_string(hash.digits) +
           " hexadecimal digits";
}

std::optional<std::string> ssdeep_problem(std::string_view value) {
    const std::size_t first = value.find(':');
    const std::size_t second = first == std::string_view::npos ? first : value.find(':', first + 1);
    static constexpr std::string_view shape =
        "SSDEEP hashes are blocksize:hash:hash with a decimal block size and base64-alphabet "
        "parts of at most 64 and 32 characters";
    if (second == std::string_view::npos) {
        return std::string(shape);
    }
    const std::string_view block_size = value.substr(0, first);
    const std::string_view head = value.substr(first + 1, second - first - 1);
    const std::string_view tail = value.substr(second + 1);
    const bool fine = !block_size.empty() && all_of_chars(block_size, &is_decimal_digit) &&
                      head.size() <= 64 && tail.size() <= 32 && all_of_chars(head, &is_base64_char) &&
                      all_of_chars(tail, &is_base64_char);
    return fine ? std::nullopt : std::optional<std::string>(shape);
}

std::optional<std::string> tlsh_problem(std::string_view value) {
    const std::string_view digits = value.size() == 72 && value.starts_with("T1") ? value.substr(2) : value;
    if (digits.size() == 70 && all_of_chars(digits, &is_hex_digit)) {
        return std::nullopt;
    }
    return std::string("TLSH hashes are 70 hexadecimal digits, or 72 characters beginning T1");
}

// A decimal prefix length from 0 to `most`, without sign or leading zeros.
bool is_prefix_length(std::string_view text, int most) {
    if (text.empty() || text.size() > 3 || !all_of_chars(text, &is_decimal_digit) ||
        (text.size() > 1 && text.front() == '0')) {
        return false;
    }
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value <= most;
}

bool is_address(std::string_view text, int family) {
    if (text.find('\0') != std::string_view::npos) {
        return false;  // inet_pton would stop reading there
    }
    const std::string terminated(text);
    std::array<unsigned char, 16> bytes{};
    return inet_pton(family, terminated.c_str(), bytes.data()) == 1;
}

struct CodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};

}  // namespace

std::optional<std::string_view> vocabulary_hash_name(std::string_view written) {
    const std::string key = folded(written);
    for (const std::string_view name : hash_algorithm_names()) {
        if (folded(name) == key) {
            return name;
        }
    }
    return std::nullopt;
}

bool is_vocabulary_hash_name(std::string_view name) {
    const auto names = hash_algorithm_names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::optional<std::string> hash_value_problem(std::string_view algorithm, std::string_view value) {
    for (const HexHash& hash : hex_hashes) {
        if (hash.algorithm == algorithm) {
            return hex_hash_problem(hash, value);
        }
    }
    if (algorithm == "SSDEEP") {
        return ssdeep_problem(value);
    }
    if (algorithm == "TLSH") {
        return tlsh_problem(value);
    }
    return std::nullopt;
}

bool is_base64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return false;
    }
    const std::size_t data_end = text.find_last_not_of('=') + 1;
    const std::size_t padding = text.size() - data_end;
    return padding <= 2 && all_of_chars(text.substr(0, data_end), &is_base64_char);
}

std::optional<std::string> regex_problem(std::string_view expression) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    const std::unique_ptr<pcre2_code, CodeDeleter> code(
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expression.data()), expression.size(),
                      PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr));
    if (code) {
        return std::nullopt;
    }
    std::array<PCRE2_UCHAR, 256> message{};
    pcre2_get_error_message(error, message.data(), message.size());
    return std::string(reinterpret_cast<const char*>(message.data())) + " at offset " +
           std::to_string(offset);
}

bool is_address_or_block(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view address = text.substr(0, slash);
    const std::string_view prefix = slash == std::string_view::npos ? "0" : text.substr(slash + 1);
    if (is_address(address, AF_INET)) {
        return is_prefix_length(prefix, 32);
    }
    return is_address(address, AF_INET6) && is_prefix_length(prefix, 128);
}

std::optional<std::string> datetime_problem(const ast::Timestamp& timestamp) {
    const int year = static_cast<int>(timestamp.date.year());
    if (year < 1 || year > 9999) {
        return std::string("its year is outside 1 to 9999");
    }
    if (timestamp.nanoseconds >= 1'000'000'000) {
        return std::string("it is a leap second");
    }
    return std::nullopt;
}

}  // namespace quarnel::tools::strict
