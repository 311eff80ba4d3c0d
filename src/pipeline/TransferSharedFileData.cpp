#include "pipeline/TransferSharedFileData.hpp"

#include "file/SharedFile.hpp"

namespace halcyne {

TransferSharedFileData::TransferSharedFileData(std::string filePath, std::uint64_t fileSize)
    : filePath(std::move(filePath)), fileSize(fileSize) {}

TransferSharedFileData::~TransferSharedFileData() = default;

void TransferSharedFileData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("filePath", filePath);
    tree.put("fileSize", std::to_string(fileSize));
}

}  // namespace halcyne
