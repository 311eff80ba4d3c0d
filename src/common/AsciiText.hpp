// Letter case, white space and hexadecimal digits of ASCII text, whatever the process's locale: protocol text
// (schemes, host names, environment variables) is compared byte for byte, and bytes beyond ASCII are never
// changed. Pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace halcyne {

// `text` with 'A' to 'Z' lower-cased.
inline std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// Space, tab, line feed, vertical tab, form feed and carriage return.
inline bool IsAsciiSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// `text` without the ASCII white space at its two ends.
inline std::string AsciiTrim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsAsciiSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsAsciiSpace(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

// The value of one hexadecimal digit (either case), or -1 for any other character.
inline int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace halcyne
