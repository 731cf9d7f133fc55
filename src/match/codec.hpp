// Text helpers shared by the loader, the compiler and the comparisons.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "match/instant.hpp"

namespace quarnel::match {

// Hex digits (either case, even count) or standard base64 (padded to a multiple of 4).
bool decode_hex_text(std::string_view digits, std::string& out);
bool decode_base64_text(std::string_view digits, std::string& out);

// The bytes of a UTF-8 text whose code points are all below 256; nothing otherwise.
std::optional<std::string> latin1_bytes(std::string_view utf8);

// The code points of a valid UTF-8 text.
std::vector<std::uint32_t> code_points(std::string_view utf8);

// NFC of a valid UTF-8 text; texts already in NFC come back unchanged.
std::string to_nfc(std::string_view utf8);

// An IP address block: IPv4 in the low 32 bits, or IPv6.
struct AddressBlock {
    bool v6 = false;
    std::uint8_t prefix = 0;
    Uint128 address = 0;
};

std::optional<AddressBlock> parse_address_block(std::string_view text);
// True when block `inner` lies within block `outer`.
bool block_within(const AddressBlock& inner, const AddressBlock& outer);

}  // namespace quarnel::match
