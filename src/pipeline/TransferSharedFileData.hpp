// What the works of one file share: the file's path inside the package, its size and, while it is open, the
// file itself. Created by the file's work sequence and held by shared pointers (also by the chunk data of
// every chunk of the file). The file's works run one after the other and its chunks only read the file
// pointer between the opening and the closing work, so the record needs no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "work/WorkStatus.hpp"

namespace halcyne {

class SharedFile;

class TransferSharedFileData : public WorkDescriptor {
public:
    TransferSharedFileData(std::string filePath, std::uint64_t fileSize);
    TransferSharedFileData(const TransferSharedFileData&) = delete;
    TransferSharedFileData& operator=(const TransferSharedFileData&) = delete;
    ~TransferSharedFileData() override;

    // "filePath", then "fileSize" (decimal).
    void Describe(boost::property_tree::ptree& tree) const override;

    std::shared_ptr<SharedFile> file;  // empty until opened and again after closing
    const std::string filePath;        // the path inside the package, relative to the destination folder
    const std::uint64_t fileSize;      // the size the manifest gives
};

}  // namespace halcyne
