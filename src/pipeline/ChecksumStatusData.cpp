#include "pipeline/ChecksumStatusData.hpp"

#include <cstdio>

namespace halcyne {

void ChecksumStatusData::Describe(boost::property_tree::ptree& tree) const {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(actualChecksum));
    tree.put("actualChecksum", hex);
    if (actualSha256) {
        tree.put("actualSha256", Sha256::ToHex(*actualSha256));
    }
}

std::string ChecksumStatusData::ToErrorString() const {
    return "error|" + ToDecimal(TransferError::ChecksumMismatch);
}

std::string ChecksumStatusData::Cause() const {
    return actualSha256 ? "a chunk's SHA-256 differs from the manifest's"
                        : "a chunk's CRC-32 differs from the manifest's";
}

}  // namespace halcyne
