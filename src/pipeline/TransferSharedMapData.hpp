// What the works of one chunk share: the chunk's file, its byte range, checksum and (when the manifest gives
// one) SHA-256, the open file its bytes are read from and written to, the download's write position and the
// digest of the bytes written so far, the node whose download is in the file, and how many of its bytes are
// counted in the transfer's progress. Created by the chunk's sequence and held by shared pointers; the
// chunk's works run one after the other (each on whatever work-manager thread the workflow gives it), and
// the download writes from the thread that runs the request, so the record needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/Sha256.hpp"
#include "work/WorkStatus.hpp"

namespace halcyne {

class NodeManifest;
class SharedFile;
class TransferProgressUpdater;
class TransferSharedFileData;

// The CRC-32 and, where one is wanted, the SHA-256 of bytes fed in order.
class ChunkDigest {
public:
    // Starts again with nothing fed; the SHA-256 is computed when `sha256`.
    void Restart(bool sha256);
    void Update(const void* data, std::size_t length);
    std::uint32_t Checksum() const { return checksum_; }
    // The SHA-256 of what was fed (nullopt when it was not computed); the digest starts again after it.
    std::optional<Sha256::Digest> FinalSha256();

private:
    std::uint32_t checksum_ = 0;
    std::unique_ptr<Sha256> sha256_;  // made on the first Restart that wants it, then reused
    bool sha256Wanted_ = false;
};

class TransferSharedMapData : public WorkDescriptor {
public:
    TransferSharedMapData(std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
                          std::uint64_t upperBound, std::uint32_t expectedChecksum,
                          std::shared_ptr<TransferProgressUpdater> progressUpdater,
                          std::optional<Sha256::Digest> expectedSha256 = std::nullopt);
    TransferSharedMapData(const TransferSharedMapData&) = delete;
    TransferSharedMapData& operator=(const TransferSharedMapData&) = delete;
    ~TransferSharedMapData() override;

    // The number of bytes of the chunk.
    std::uint64_t Length() const { return upperBound - lowerBound + 1; }

    // The file data's "filePath" and "fileSize" (when there is file data), then "lowerBound", "upperBound",
    // "expectedChecksum" (lower-case hexadecimal without leading zeros) and "fileProgressBytes".
    void Describe(boost::property_tree::ptree& tree) const override;

    // Before a new download of the chunk: the write position back to the chunk's first byte and the digest
    // of written bytes started again, the chunk's bytes taken back out of the transfer's progress and the
    // node that served it forgotten.
    void ResetProgress();
    // Makes `file` the one the chunk is read from and written to (letting go of the previous one). Every
    // byte of the chunk must exist in it: FileInvalidMapException when the file is shorter.
    void UseFile(std::shared_ptr<SharedFile> file);
    // Lets go of the file.
    void ReleaseFile();

    // Writes the download's next `length` bytes at the write position, then adds them to the digest of
    // written bytes and moves the position past them. FileOutOfBoundsException, with nothing written, when
    // they would cross the chunk's end; the FileException family when the file refuses them (the position
    // and digest stay as they were); std::logic_error without a file.
    void WriteNext(const void* data, std::size_t length);
    // The digest of the bytes the download wrote, when it wrote every byte of the chunk since the last
    // ResetProgress; taken once (afterwards nullopt until the chunk is written whole again).
    struct WrittenDigest {
        std::uint32_t checksum = 0;
        std::optional<Sha256::Digest> sha256;  // when the manifest gives the chunk's SHA-256
    };
    std::optional<WrittenDigest> TakeWrittenDigest();

    const std::shared_ptr<TransferSharedFileData> fileData;
    const std::uint64_t lowerBound;                      // offset of the chunk's first byte in the file
    const std::uint64_t upperBound;                      // offset of the chunk's last byte (inclusive)
    const std::uint32_t expectedChecksum;                // the chunk's CRC-32 from the file manifest
    const std::optional<Sha256::Digest> expectedSha256;  // the chunk's SHA-256 from the file manifest, if any
    // Where the chunk is read and written (the file in place or its sibling); empty until chosen.
    std::shared_ptr<SharedFile> file;
    const std::shared_ptr<TransferProgressUpdater> progressUpdater;
    std::uint64_t fileProgressBytes = 0;  // bytes of this chunk currently counted in the transfer's progress
    // The node whose download is in the file, set by a successful request; empty before and for bytes that
    // were already on disk.
    std::shared_ptr<NodeManifest> servedBy;

private:
    std::uint64_t writePosition_;  // the next byte the download writes, lowerBound to upperBound + 1
    ChunkDigest written_;          // of bytes [lowerBound, writePosition_)
};

}  // namespace halcyne
