#include "match/codec.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace quarnel::match {

std::optional<std::string> latin1_bytes(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            out += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::vector<std::uint32_t> code_points(std::string_view utf8) {
    std::vector<std::uint32_t> out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        length = std::min(length, utf8.size() - i);
        std::uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < length; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        out.push_back(cp);
        i += length;
    }
    return out;
}

std::string to_nfc(std::string_view utf8) {
    bool ascii = true;
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) return std::string(utf8);
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t size = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.data()),
                                               static_cast<utf8proc_ssize_t>(utf8.size()), &mapped,
                                               static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
    if (size < 0) return std::string(utf8);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(size));
}

namespace {

bool read_decimal(std::string_view text, std::size_t max_digits, unsigned max_value, unsigned& out) {
    if (text.empty() || text.size() > max_digits) return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max_value) return false;
    out = value;
    return true;
}

std::optional<std::uint32_t> parse_v4(std::string_view text) {
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return std::nullopt;
        unsigned value = 0;
        if (!read_decimal(text.substr(0, dot), 3, 255, value)) return std::nullopt;
        address = (address << 8) | value;
        text = dot < text.size() ? text.substr(dot + 1) : std::string_view();
        if (part == 3 && dot != text.size() && !text.empty()) return std::nullopt;
    }
    return address;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Groups separated by ':' (no "::" inside); a dotted tail counts as two groups.
bool parse_groups(std::string_view text, bool tail_allowed, std::vector<std::uint16_t>& out) {
    if (text.empty()) return true;
    while (true) {
        const std::size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && tail_allowed && group.find('.') != std::string_view::npos) {
            const auto v4 = parse_v4(group);
            if (!v4) return false;
            out.push_back(static_cast<std::uint16_t>(*v4 >> 16));
            out.push_back(static_cast<std::uint16_t>(*v4 & 0xFFFF));
            return true;
        }
        if (group.empty() || group.size() > 4) return false;
        unsigned value = 0;
        for (const char c : group) {
            const int d = hex_digit(c);
            if (d < 0) return false;
            value = value * 16 + static_cast<unsigned>(d);
        }
        out.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos) return true;
        text = text.substr(colon + 1);
    }
}

std::optional<Uint128> parse_v6(std::string_view text) {
    std::vector<std::uint16_t> head, tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!parse_groups(text, true, head) || head.size() != 8) return std::nullopt;
    } else {
        const std::string_view before = text.substr(0, gap);
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != std::string_view::npos) return std::nullopt;
        if (!parse_groups(before, false, head) || !parse_groups(after, true, tail)) return std::nullopt;
        if (head.size() + tail.size() > 7) return std::nullopt;
    }
    Uint128 address = 0;
    for (const std::uint16_t g : head) address = (address << 16) | g;
    for (std::size_t i = head.size() + tail.size(); i < 8; ++i) address <<= 16;
    for (const std::uint16_t g : tail) address = (address << 16) | g;
    return address;
}

}  // namespace

std::optional<AddressBlock> parse_address_block(std::string_view text) {
    AddressBlock block;
    const std::size_t slash = text.find('/');
    const std::string_view address = text.substr(0, slash);
    block.v6 = address.find(':') != std::string_view::npos;
    unsigned prefix = block.v6 ? 128 : 32;
    if (slash != std::string_view::npos &&
        !read_decimal(text.substr(slash + 1), 3, block.v6 ? 128 : 32, prefix)) {
        return std::nullopt;
    }
    block.prefix = static_cast<std::uint8_t>(prefix);
    if (block.v6) {
        const auto value = parse_v6(address);
        if (!value) return std::nullopt;
        block.address = *value;
    } else {
        const auto value = parse_v4(address);
        if (!value) return std::nullopt;
        block.address = *value;
    }
    return block;
}

bool block_within(const AddressBlock& inner, const AddressBlock& outer) {
    if (inner.v6 != outer.v6 || outer.prefix > inner.prefix) return false;
    const unsigned width = inner.v6 ? 128 : 32;
    if (outer.prefix == 0) return true;
    const unsigned shift = width - outer.prefix;
    return (inner.address >> shift) == (outer.address >> shift);
}

}  // namespace quarnel::match
