#include "manifest/ManifestText.hpp"

namespace halcyne {

namespace {

constexpr std::string_view WhiteSpace = " \t\n\r\v\f";

}  // namespace

std::string_view TrimWhiteSpace(std::string_view text) {
    const auto first = text.find_first_not_of(WhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(WhiteSpace);
    return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max) {
    const std::string_view digits = TrimWhiteSpace(text);
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint32_t> ParseHex32(std::string_view text) {
    if (text.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        const int digit = HexValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

int HexValue(char c) {
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

std::optional<std::string> ParseSha256Hex(std::string_view text) {
    if (text.size() != 64) {
        return std::nullopt;
    }
    std::string digits(text);
    for (char& c : digits) {
        if (HexValue(c) < 0) {
            return std::nullopt;
        }
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return digits;
}

std::optional<std::array<std::uint8_t, 32>> ParseSha256Digest(std::string_view text) {
    std::array<std::uint8_t, 32> digest{};
    if (text.size() != 2 * digest.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

}  // namespace halcyne
