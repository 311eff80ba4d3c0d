// The chunk checksum: the standard CRC-32 (reflected, polynomial 0x04C11DB7, register preset to 0xFFFFFFFF,
// result complemented; the CRC of "123456789" is cbf43926), computed by libdeflate's folding
// implementation. Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halcyne {

// The CRC-32 of `size` bytes at `data`, continuing from `crc` (the CRC of the bytes before; 0 to start).
std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

// The CRC-32 of `length` zero bytes, computed without any bytes (a few dozen multiplications modulo the
// polynomial): what a chunk of a freshly allocated file holds.
std::uint32_t Crc32OfZeros(std::uint64_t length);

}  // namespace halcyne
