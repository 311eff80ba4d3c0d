// What the works of one chunk share: the chunk's byte range in its file.
// Created by the chunk's sequence and held by shared pointers; the chunk's works run one after the other,
// so the record needs no lock.
#pragma once

#include <cstdint>

namespace halcyne {

class TransferSharedMapData {
public:
    TransferSharedMapData(std::uint64_t lowerBound, std::uint64_t upperBound)
        : lowerBound(lowerBound), upperBound(upperBound) {}
    TransferSharedMapData(const TransferSharedMapData&) = delete;
    TransferSharedMapData& operator=(const TransferSharedMapData&) = delete;
    virtual ~TransferSharedMapData() = default;

    // The number of bytes of the chunk.
    std::uint64_t Length() const { return upperBound - lowerBound + 1; }

    const std::uint64_t lowerBound;  // offset of the chunk's first byte in the file
    const std::uint64_t upperBound;  // offset of the chunk's last byte (inclusive)
};

}  // namespace halcyne
