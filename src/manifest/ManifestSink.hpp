// Where a manifest's bytes go: the mirror of ManifestSource (let the manifest save itself into a tree,
// serialize the tree, write the bytes by a key). Used by one thread at a time.
#pragma once

#include <iosfwd>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace halcyne {

class OutputManifest;

class ManifestSink {
public:
    ManifestSink() = default;
    ManifestSink(const ManifestSink&) = delete;
    ManifestSink& operator=(const ManifestSink&) = delete;
    virtual ~ManifestSink() = default;

    // Appends the text form of the tree to `into`. Throws ManifestParseException.
    virtual void Serialize(const boost::property_tree::ptree& tree, std::iostream& into) = 0;
    // Stores the bytes of `from` under `id`. Throws the ManifestException family.
    virtual void Write(std::iostream& from, const std::string& id) = 0;

    // manifest.Save(tree), Serialize, then Write; exceptions of every step pass through.
    void Save(const std::string& id, const OutputManifest& manifest);
};

}  // namespace halcyne
