// Standard base64 (RFC 4648 alphabet, '=' padding) for keys and signatures written as text. Pure functions,
// callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halcyne {

std::string EncodeBase64(std::string_view bytes);

// The bytes of `text`, or nothing when it is not canonical base64: a length that is not a multiple of 4, a
// character outside the alphabet (white space included), padding anywhere but at the end, or padding bits
// that are not zero. Refusing every other spelling gives each byte string exactly one text form.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace halcyne
