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

}  // namespace halcyne
