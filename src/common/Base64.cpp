#include "common/Base64.hpp"

#include <array>
#include <cstdint>

namespace halcyne {

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each character, -1 for characters outside the alphabet.
constexpr std::array<std::int8_t, 256> MakeValues() {
    std::array<std::int8_t, 256> values{};
    for (auto& value : values) {
        value = -1;
    }
    for (int i = 0; i < 64; ++i) {
        values[static_cast<unsigned char>(Alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return values;
}

constexpr std::array<std::int8_t, 256> Values = MakeValues();

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                        << 8 |
                                    static_cast<unsigned char>(bytes[i + 2]);
        text += Alphabet[group >> 18 & 63];
        text += Alphabet[group >> 12 & 63];
        text += Alphabet[group >> 6 & 63];
        text += Alphabet[group & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text += Alphabet[group >> 18 & 63];
        text += Alphabet[group >> 12 & 63];
        text += rest == 2 ? Alphabet[group >> 6 & 63] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t digits = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            std::int8_t value = 0;
            if (k < digits) {
                value = Values[static_cast<unsigned char>(text[i + k])];
                if (value < 0) {
                    return std::nullopt;
                }
            }
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        bytes += static_cast<char>(group >> 16 & 0xFF);
        if (digits >= 3) {
            bytes += static_cast<char>(group >> 8 & 0xFF);
        }
        if (digits == 4) {
            bytes += static_cast<char>(group & 0xFF);
        }
        // The bits that the padding leaves over must be zero.
        if ((digits == 2 && (group & 0xFFFF) != 0) || (digits == 3 && (group & 0xFF) != 0)) {
            return std::nullopt;
        }
    }
    return bytes;
}

}  // namespace halcyne
