#include "pipeline/TransferSharedMapData.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "file/FileException.hpp"
#include "file/SharedFile.hpp"
#include "manifest/NodeListManifest.hpp"
#include "pipeline/Crc32.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedFileData.hpp"

namespace halcyne {

// ChunkDigest

void ChunkDigest::Restart(bool sha256) {
    checksum_ = 0;
    sha256Wanted_ = sha256;
    if (sha256 && !sha256_) {
        sha256_ = std::make_unique<Sha256>();
    } else if (sha256) {
        sha256_->Final();  // drops whatever was fed
    }
}

void ChunkDigest::Update(const void* data, std::size_t length) {
    checksum_ = Crc32(data, length, checksum_);
    if (sha256Wanted_) {
        sha256_->Update(data, length);
    }
}

std::optional<Sha256::Digest> ChunkDigest::FinalSha256() {
    if (!sha256Wanted_) {
        return std::nullopt;
    }
    return sha256_->Final();
}

// TransferSharedMapData

TransferSharedMapData::TransferSharedMapData(std::shared_ptr<TransferSharedFileData> fileData,
                                             std::uint64_t lowerBound, std::uint64_t upperBound,
                                             std::uint32_t expectedChecksum,
                                             std::shared_ptr<TransferProgressUpdater> progressUpdater,
                                             std::optional<Sha256::Digest> expectedSha256)
    : fileData(std::move(fileData)),
      lowerBound(lowerBound),
      upperBound(upperBound),
      expectedChecksum(expectedChecksum),
      expectedSha256(expectedSha256),
      progressUpdater(std::move(progressUpdater)),
      writePosition_(lowerBound) {}

TransferSharedMapData::~TransferSharedMapData() = default;

void TransferSharedMapData::Describe(boost::property_tree::ptree& tree) const {
    if (fileData) {
        fileData->Describe(tree);
    }
    char checksum[9];
    std::snprintf(checksum, sizeof checksum, "%x", static_cast<unsigned>(expectedChecksum));
    tree.put("lowerBound", std::to_string(lowerBound));
    tree.put("upperBound", std::to_string(upperBound));
    tree.put("expectedChecksum", checksum);
    tree.put("fileProgressBytes", std::to_string(fileProgressBytes));
}

void TransferSharedMapData::ResetProgress() {
    servedBy.reset();
    writePosition_ = lowerBound;
    if (fileProgressBytes != 0) {
        // The field is cleared only once the updater has taken the bytes back, so that a throwing updater
        // leaves the count as it was.
        if (progressUpdater) {
            progressUpdater->RemoveProgress(fileProgressBytes);
        }
        fileProgressBytes = 0;
    }
}

void TransferSharedMapData::UseFile(std::shared_ptr<SharedFile> chosen) {
    ReleaseFile();
    if (const std::uint64_t size = chosen->Size(); upperBound >= size) {
        throw FileInvalidMapException((fileData ? fileData->filePath + ": bytes " : std::string("bytes ")) +
                                      std::to_string(lowerBound) + " to " + std::to_string(upperBound) +
                                      " lie beyond the end of the file (" + std::to_string(size) + " bytes)");
    }
    file = std::move(chosen);
    writePosition_ = lowerBound;
}

void TransferSharedMapData::ReleaseFile() {
    file.reset();
}

void TransferSharedMapData::WriteNext(const void* data, std::size_t length) {
    if (length == 0) {
        return;
    }
    if (!file) {
        throw std::logic_error("the chunk has no file to write to");
    }
    if (writePosition_ > upperBound || length - 1 > upperBound - writePosition_) {
        throw FileOutOfBoundsException(std::to_string(length) + " bytes at " +
                                       std::to_string(writePosition_) + " cross the chunk's end at " +
                                       std::to_string(upperBound));
    }
    if (writePosition_ == lowerBound) {
        written_.Restart(expectedSha256.has_value());
    }
    file->WriteAt(writePosition_, data, length);
    written_.Update(data, length);
    writePosition_ += length;
}

std::optional<TransferSharedMapData::WrittenDigest> TransferSharedMapData::TakeWrittenDigest() {
    if (writePosition_ != upperBound + 1) {
        return std::nullopt;
    }
    writePosition_ = lowerBound;
    return WrittenDigest{written_.Checksum(), written_.FinalSha256()};
}

}  // namespace halcyne
