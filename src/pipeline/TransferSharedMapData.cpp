#include "pipeline/TransferSharedMapData.hpp"

#include <cstdio>

#include "file/MemoryMappedFileData.hpp"
#include "file/SharedFile.hpp"
#include "manifest/NodeListManifest.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedFileData.hpp"

namespace halcyne {

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
      progressUpdater(std::move(progressUpdater)) {}

TransferSharedMapData::TransferSharedMapData(std::uint64_t lowerBound, std::uint64_t upperBound)
    : TransferSharedMapData(nullptr, lowerBound, upperBound, 0, nullptr) {}

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
    if (view) {
        view->Seek(lowerBound);
    }
    if (fileProgressBytes != 0) {
        // The field is cleared only once the updater has taken the bytes back, so that a throwing updater
        // leaves the count as it was.
        if (progressUpdater) {
            progressUpdater->RemoveProgress(fileProgressBytes);
        }
        fileProgressBytes = 0;
    }
}

void TransferSharedMapData::MapView(std::shared_ptr<SharedFile> file) {
    ReleaseView();
    view = file->Map(lowerBound, upperBound);
    viewFile = std::move(file);
}

void TransferSharedMapData::ReleaseView() {
    view.reset();
    viewFile.reset();
}

}  // namespace halcyne
