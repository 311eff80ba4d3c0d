// What the works of one chunk share: the chunk's file, its byte range, checksum and (when the manifest gives
// one) SHA-256, its mapped view while it is mapped, the node whose download the view holds, and how many of
// its bytes are counted in the transfer's progress. Created by the chunk's
// sequence and held by shared pointers; the chunk's works run one after the other (each on whatever
// work-manager thread the workflow gives it), so the record needs no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "common/Sha256.hpp"
#include "work/WorkStatus.hpp"

namespace halcyne {

class MemoryMappedFileData;
class NodeManifest;
class SharedFile;
class TransferProgressUpdater;
class TransferSharedFileData;

class TransferSharedMapData : public WorkDescriptor {
public:
    TransferSharedMapData(std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
                          std::uint64_t upperBound, std::uint32_t expectedChecksum,
                          std::shared_ptr<TransferProgressUpdater> progressUpdater,
                          std::optional<Sha256::Digest> expectedSha256 = std::nullopt);
    // A chunk without file, checksum or progress updater (the optimizer reads only the range).
    TransferSharedMapData(std::uint64_t lowerBound, std::uint64_t upperBound);
    TransferSharedMapData(const TransferSharedMapData&) = delete;
    TransferSharedMapData& operator=(const TransferSharedMapData&) = delete;
    ~TransferSharedMapData() override;

    // The number of bytes of the chunk.
    std::uint64_t Length() const { return upperBound - lowerBound + 1; }

    // The file data's "filePath" and "fileSize" (when there is file data), then "lowerBound", "upperBound",
    // "expectedChecksum" (lower-case hexadecimal without leading zeros) and "fileProgressBytes".
    void Describe(boost::property_tree::ptree& tree) const override;

    // Before a new download of the chunk: rewinds the view (when mapped) to the chunk's first byte, takes the
    // chunk's bytes back out of the transfer's progress and forgets the node that served it.
    void ResetProgress();
    // Maps the chunk's range of `file` as its view (letting go of the previous view first).
    void MapView(std::shared_ptr<SharedFile> file);
    // Lets go of the view and of the file it maps.
    void ReleaseView();

    const std::shared_ptr<TransferSharedFileData> fileData;
    const std::uint64_t lowerBound;                      // offset of the chunk's first byte in the file
    const std::uint64_t upperBound;                      // offset of the chunk's last byte (inclusive)
    const std::uint32_t expectedChecksum;                // the chunk's CRC-32 from the file manifest
    const std::optional<Sha256::Digest> expectedSha256;  // the chunk's SHA-256 from the file manifest, if any
    std::shared_ptr<MemoryMappedFileData> view;          // empty until mapped
    std::shared_ptr<SharedFile> viewFile;  // the file the view maps (the file in place or its sibling)
    const std::shared_ptr<TransferProgressUpdater> progressUpdater;
    std::uint64_t fileProgressBytes = 0;  // bytes of this chunk currently counted in the transfer's progress
    // The node whose download is in the view, set by a successful request; empty before and for bytes that
    // were already on disk.
    std::shared_ptr<NodeManifest> servedBy;
};

}  // namespace halcyne
