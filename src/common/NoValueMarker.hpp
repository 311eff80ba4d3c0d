// The marker for a value that was not given (a version, a destination, an identifier).
#pragma once

#include <string_view>

namespace halcyne {

inline constexpr std::string_view NoValueMarker = "?";

}  // namespace halcyne
