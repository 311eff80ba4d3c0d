#include "EngineFormats.hpp"

#include <boost/crc.hpp>

namespace halcyne::publish {

// Stand-ins until the engine's chunk checksum and chunk URL land; then these forward to them.
std::uint32_t ChunkCrc32(const void* data, std::size_t size, std::uint32_t crc) {
    boost::crc_32_type sum;
    if (crc != 0) {
        sum.reset(~crc);
    }
    sum.process_bytes(data, size);
    return sum.checksum();
}

bool ChunkUrlCarries(const std::string& partnerId, const std::string& packageId, const std::string& versionId,
                     const std::string& filePath) {
    for (const std::string* text : {&partnerId, &packageId, &versionId, &filePath}) {
        for (const char c : *text) {
            if (c == '%' || c == '#' || c == '?' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace halcyne::publish
