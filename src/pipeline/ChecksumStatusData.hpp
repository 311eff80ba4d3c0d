// What a failed chunk check says: the CRC-32 the chunk's bytes actually have and, when the CRC-32 was right
// but the chunk's SHA-256 was not (bytes forged to keep their CRC-32), the SHA-256 they have. Made by the
// chunk check on a work-manager thread, then immutable and shared by pointer on any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "common/Sha256.hpp"
#include "pipeline/TransferStatusData.hpp"

namespace halcyne {

class ChecksumStatusData : public TransferStatusData {
public:
    explicit ChecksumStatusData(std::uint32_t actualChecksum,
                                std::optional<Sha256::Digest> actualSha256 = std::nullopt)
        : actualChecksum(actualChecksum), actualSha256(actualSha256) {}

    // Always ChecksumMismatch.
    TransferError ToTransferError() const override { return TransferError::ChecksumMismatch; }
    // "actualChecksum", in lower-case hexadecimal without leading zeros, then "actualSha256" (64 lower-case
    // hexadecimal digits) when the SHA-256 was the mismatch.
    void Describe(boost::property_tree::ptree& tree) const override;
    // "error|6".
    std::string ToErrorString() const override;
    // Which digest of a chunk differed from the manifest's.
    std::string Cause() const override;

    const std::uint32_t actualChecksum;
    const std::optional<Sha256::Digest> actualSha256;  // set only when the CRC-32 matched and this did not
};

}  // namespace halcyne
