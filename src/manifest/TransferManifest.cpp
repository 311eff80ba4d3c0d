#include "manifest/TransferManifest.hpp"

#include <boost/property_tree/ptree.hpp>

#include "manifest/ManifestException.hpp"

namespace halcyne {

namespace {

const std::string& TextOf(const boost::property_tree::ptree& tree, const std::string& key) {
    const auto found = tree.find(key);
    if (found == tree.not_found()) {
        throw ManifestParseException();
    }
    // An object or array member has children; only a text (a JSON string, or a number or literal read as its
    // text) is a value.
    if (!found->second.empty()) {
        throw ManifestParseException();
    }
    return found->second.data();
}

}  // namespace

void TransferManifest::Load(const boost::property_tree::ptree& tree) {
    try {
        params = TransferParams();
        params.transferId = TextOf(tree, "transferId");
        params.partnerId = TextOf(tree, "partnerId");
        params.packageId = TextOf(tree, "packageId");
        params.versionId = TextOf(tree, "versionId");
        params.destPath = TextOf(tree, "destPath");
    } catch (const ManifestParseException&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
}

void TransferManifest::Save(boost::property_tree::ptree& tree) const {
    try {
        params.Describe(tree);
    } catch (...) {
        throw ManifestParseException();
    }
}

}  // namespace halcyne
