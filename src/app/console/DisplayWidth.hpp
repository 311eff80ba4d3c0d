// How many terminal columns UTF-8 text takes: East Asian wide and fullwidth characters two, combining marks
// and other zero-width characters none, everything else one (as the terminals' own tables and glibc's
// wcwidth count them, without depending on the process's C locale). Pure functions: any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halcyne::Updater {

// The columns of one code point: 0, 1 or 2 (control characters count 0).
int CodePointColumns(std::int32_t codePoint);

// The columns of the text; an invalid byte counts one column.
std::size_t DisplayColumns(std::string_view text);

// The longest beginning of the text that takes at most `columns` columns, never cut inside a character or
// between a character and the combining marks that follow it.
std::string FitColumns(std::string_view text, std::size_t columns);

}  // namespace halcyne::Updater
