// Strict readers for the numbers and texts of manifest documents, shared by the manifest loaders.
// Pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/AsciiText.hpp"  // HexValue

namespace halcyne {

// A decimal number of at most `max`, with optional surrounding white space: one or more digits and nothing
// else (no sign, no fraction, no prefix). nullopt when the text is anything else or the value exceeds `max`.
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max);

// Exactly eight hexadecimal digits (either case) as a 32-bit number; nullopt otherwise.
std::optional<std::uint32_t> ParseHex32(std::string_view text);

// Exactly 64 hexadecimal digits (either case), as 64 lower-case digits; nullopt otherwise.
std::optional<std::string> ParseSha256Hex(std::string_view text);

// Exactly 64 hexadecimal digits (either case) as the 32 bytes they write, first byte first; nullopt
// otherwise.
std::optional<std::array<std::uint8_t, 32>> ParseSha256Digest(std::string_view text);

// A UTC time written "YYYY-MM-DDThh:mm:ssZ" (exactly that form: four-digit year from 1970, upper-case T and
// Z, no fraction, no offset) as seconds since 1970-01-01T00:00:00Z; nullopt for anything else, an impossible
// date or time (February 30, 24:00:00, a leap second) included.
std::optional<std::int64_t> ParseUtcTime(std::string_view text);

// Seconds since 1970-01-01T00:00:00Z (0 up to the end of year 9999) in the form ParseUtcTime reads.
// Throws std::out_of_range for a time outside that span.
std::string FormatUtcTime(std::int64_t seconds);

// The text without leading and trailing white space (space, tab, line feed, carriage return, vertical tab,
// form feed).
std::string_view TrimWhiteSpace(std::string_view text);

}  // namespace halcyne
