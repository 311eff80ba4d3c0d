// The stored form of a started transfer: its parameters without the suspension flag. Loaded by the transfer
// manager (under its lock) and saved by the transfer, each on its own thread; one object is used by one
// thread at a time.
#pragma once

#include "common/TransferParams.hpp"
#include "manifest/Manifest.hpp"

namespace halcyne {

class TransferManifest : public InputManifest, public OutputManifest {
public:
    TransferManifest() = default;
    explicit TransferManifest(TransferParams params) : params(std::move(params)) {}

    // Resets params, then reads "transferId", "partnerId", "packageId", "versionId" and "destPath", each the
    // text of the tree's direct child of that name. A missing key, or a member that is not a text, is
    // ManifestParseException; the fields read before it keep their new values.
    void Load(const boost::property_tree::ptree& tree) override;
    // The five keys in that order; any failure is ManifestParseException.
    void Save(boost::property_tree::ptree& tree) const override;

    TransferParams params;
};

}  // namespace halcyne
