// Bytes forged so that their CRC-32 stays what it was: the standard CRC-32 (reflected, polynomial 0x04C11DB7,
// register preset to 0xFFFFFFFF, result complemented) that chunk checksums use. The delivery service's
// "forge" fault and the tests' scripted nodes serve such bytes, to play a node that doctors files in a way a
// CRC-32 check cannot see. Header-only and self-contained (the delivery service links no engine code); pure
// functions, safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace halcyne::forgery {

namespace detail {

struct Tables {
    std::array<std::uint32_t, 256> entry{};     // the register change of one byte
    std::array<std::uint8_t, 256> byTopByte{};  // the entry whose top byte is the index (they all differ)
};

inline const Tables& CrcTables() {
    static const Tables tables = [] {
        Tables t;
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit) {
                value = (value & 1u) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
            }
            t.entry[i] = value;
            t.byTopByte[value >> 24] = static_cast<std::uint8_t>(i);
        }
        return t;
    }();
    return tables;
}

// The CRC register after `size` bytes, from `reg`.
inline std::uint32_t Advance(std::uint32_t reg, const unsigned char* data, std::size_t size) {
    const Tables& t = CrcTables();
    for (std::size_t i = 0; i < size; ++i) {
        reg = (reg >> 8) ^ t.entry[(reg ^ data[i]) & 0xFFu];
    }
    return reg;
}

}  // namespace detail

// The standard CRC-32 of `size` bytes.
inline std::uint32_t Crc32(const unsigned char* data, std::size_t size) {
    return detail::Advance(0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

// Inverts every byte of `data` but the last four, then sets those four so that the CRC-32 of all `size`
// bytes is what it was. Fewer than 5 bytes are left as they are: no other bytes of such a length share their
// CRC-32.
inline void ForgeKeepingCrc32(unsigned char* data, std::size_t size) {
    if (size < 5) {
        return;
    }
    const detail::Tables& t = detail::CrcTables();
    const std::uint32_t target = detail::Advance(0xFFFFFFFFu, data, size);
    for (std::size_t i = 0; i + 4 < size; ++i) {
        data[i] = static_cast<unsigned char>(~data[i]);
    }
    std::uint32_t reg = detail::Advance(0xFFFFFFFFu, data, size - 4);
    // Backwards from the target register: each step's top byte names the table entry that produced it, and
    // the bits it leaves unknown never reach the top byte of the four steps.
    std::array<std::uint8_t, 4> index{};
    std::uint32_t after = target;
    for (int k = 3; k >= 0; --k) {
        index[static_cast<std::size_t>(k)] = t.byTopByte[after >> 24];
        after = (after ^ t.entry[index[static_cast<std::size_t>(k)]]) << 8;
    }
    // Forwards: each byte is the one that selects its step's entry from the register as it is.
    for (std::size_t k = 0; k < 4; ++k) {
        data[size - 4 + k] = static_cast<unsigned char>(index[k] ^ (reg & 0xFFu));
        reg = (reg >> 8) ^ t.entry[index[k]];
    }
}

}  // namespace halcyne::forgery
