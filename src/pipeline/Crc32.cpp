#include "pipeline/Crc32.hpp"

#include <algorithm>
#include <limits>

#include <libdeflate.h>

namespace halcyne {

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

}  // namespace halcyne
