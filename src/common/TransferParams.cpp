#include "common/TransferParams.hpp"

namespace halcyne {

void TransferParams::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferId", transferId);
    tree.put("partnerId", partnerId);
    tree.put("packageId", packageId);
    tree.put("versionId", versionId);
    tree.put("destPath", destPath);
}

}  // namespace halcyne
