#include "manifest/ManifestSink.hpp"

#include <sstream>

#include <boost/property_tree/ptree.hpp>

#include "manifest/Manifest.hpp"

namespace halcyne {

void ManifestSink::Save(const std::string& id, const OutputManifest& manifest) {
    boost::property_tree::ptree tree;
    manifest.Save(tree);
    std::stringstream stream;
    Serialize(tree, stream);
    Write(stream, id);
}

}  // namespace halcyne
