#include "common/Utf8.hpp"

namespace halcyne {

std::int32_t DecodeUtf8(std::string_view text, std::size_t& position) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(position);
    if (lead < 0x80) {
        ++position;
        return lead;
    }
    std::size_t length = 0;
    std::int32_t point = 0;
    std::int32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, minimum = 0x10000;
    } else {
        return -1;
    }
    if (position + length > text.size()) {
        return -1;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(position + k) & 0xC0) != 0x80) {
            return -1;
        }
        point = (point << 6) | (byte(position + k) & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return -1;
    }
    position += length;
    return point;
}

std::optional<std::size_t> Utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::int32_t point = DecodeUtf8(utf8, i);
        if (point < 0) {
            return std::nullopt;
        }
        units += point >= 0x10000 ? 2 : 1;
    }
    return units;
}

bool IsValidUtf8(std::string_view text) {
    return Utf16Length(text).has_value();
}

}  // namespace halcyne
