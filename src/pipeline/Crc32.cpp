#include "pipeline/Crc32.hpp"

#include <algorithm>
#include <limits>

#include <libdeflate.h>

namespace halcyne {

namespace {

// The polynomial in the register's reflected bit order: bit 31 stands for x^0, bit 0 for x^31.
constexpr std::uint32_t ReflectedPolynomial = 0xedb88320u;
constexpr std::uint32_t XToThe0 = 1u << 31;

// a(x) * b(x) modulo the polynomial, both in reflected order.
constexpr std::uint32_t MultiplyModulo(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = XToThe0; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) {
            product ^= b;
        }
        b = (b & 1u) != 0 ? (b >> 1) ^ ReflectedPolynomial : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial, for k = 0..63 (the powers repeat with a period that divides 2^32 - 1, but a
// table over every bit of a 64-bit length is simplest).
struct PowerTable {
    std::uint32_t power[64] = {};
    constexpr PowerTable() {
        power[0] = XToThe0 >> 1;  // x^1
        for (int k = 1; k < 64; ++k) {
            power[k] = MultiplyModulo(power[k - 1], power[k - 1]);
        }
    }
};
constexpr PowerTable Powers;

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc) {
    // libdeflate takes a size_t, but feed it in pieces that any build's size_t holds.
    const auto* bytes = static_cast<const unsigned char*>(data);
    constexpr std::size_t step = std::size_t{1} << 30;
    while (size > 0) {
        const std::size_t piece = std::min(size, step);
        crc = libdeflate_crc32(crc, bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return crc;
}

std::uint32_t Crc32OfZeros(std::uint64_t length) {
    // Each zero byte multiplies the register by x^8: after `length` of them it is the preset 0xFFFFFFFF times
    // x^(8 * length), and the CRC is that complemented.
    std::uint32_t shift = XToThe0;
    int k = 3;  // x^8 = x^(2^3)
    for (std::uint64_t n = length; n != 0 && k < 64; n >>= 1, ++k) {
        if ((n & 1u) != 0) {
            shift = MultiplyModulo(Powers.power[k], shift);
        }
    }
    return ~MultiplyModulo(shift, 0xffffffffu);
}

}  // namespace halcyne
