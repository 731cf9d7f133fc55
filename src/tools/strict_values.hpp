// The value tests of the strict checks: each says what is wrong with one constant, or
// nothing when it is fine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ast/ast.hpp"

namespace quarnel::tools::strict {

// The vocabulary's spelling of a hash algorithm name written with other case or
// punctuation ("sha256" gives "SHA-256"); nothing when no vocabulary name is that close.
std::optional<std::string_view> vocabulary_hash_name(std::string_view written);
bool is_vocabulary_hash_name(std::string_view name);

// What `value` lacks to be a hash of `algorithm` (a vocabulary name); nothing when it is
// one, or when the algorithm has no fixed format.
std::optional<std::string> hash_value_problem(std::string_view algorithm, std::string_view value);

// Standard base64: groups of four, padding only at the end.
bool is_base64(std::string_view text);

// The compiler's complaint about a MATCHES expression, with its offset.
std::optional<std::string> regex_problem(std::string_view expression);

// An IPv4 or IPv6 address, or a CIDR block of one.
bool is_address_or_block(std::string_view text);

// Whether a Python datetime can hold the instant: years 1 to 9999, no leap second.
std::optional<std::string> datetime_problem(const ast::Timestamp& timestamp);

}  // namespace quarnel::tools::strict
