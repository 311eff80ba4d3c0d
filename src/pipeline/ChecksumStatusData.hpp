// What a failed chunk check says: the CRC-32 the chunk's bytes actually have. Made by the chunk check on a
// work-manager thread, then immutable and shared by pointer on any thread.
#pragma once

#include <cstdint>

#include "pipeline/TransferStatusData.hpp"

namespace halcyne {

class ChecksumStatusData : public TransferStatusData {
public:
    explicit ChecksumStatusData(std::uint32_t actualChecksum) : actualChecksum(actualChecksum) {}

    // Always ChecksumMismatch.
    TransferError ToTransferError() const override { return TransferError::ChecksumMismatch; }
    // "actualChecksum" only, in lower-case hexadecimal without leading zeros.
    void Describe(boost::property_tree::ptree& tree) const override;
    // "error|6".
    std::string ToErrorString() const override;

    const std::uint32_t actualChecksum;
};

}  // namespace halcyne
