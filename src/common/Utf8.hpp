// UTF-8 validation and decoding shared by the engine and the updater. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace halcyne {

// Decodes the UTF-8 sequence at `position` and advances past it. Returns the code point, or -1 for an
// invalid sequence (overlong forms, surrogates, values beyond U+10FFFF, truncated or stray bytes), leaving
// `position` unchanged.
std::int32_t DecodeUtf8(std::string_view text, std::size_t& position);

// The number of UTF-16 units of a UTF-8 text (a character beyond U+FFFF counts 2); nullopt when the text is
// not valid UTF-8.
std::optional<std::size_t> Utf16Length(std::string_view utf8);

bool IsValidUtf8(std::string_view text);

}  // namespace halcyne
