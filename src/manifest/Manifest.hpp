// The two manifest interfaces: objects that load themselves from, or save themselves into, a property tree.
// A manifest is created empty, loaded once on one thread, and only read afterwards, from any thread.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

namespace halcyne {

class InputManifest {
public:
    virtual ~InputManifest() = default;
    // Fills the manifest from the tree; throws the ManifestException family (std::bad_alloc as itself).
    virtual void Load(const boost::property_tree::ptree& tree) = 0;
};

class OutputManifest {
public:
    virtual ~OutputManifest() = default;
    virtual void Save(boost::property_tree::ptree& tree) const = 0;
};

}  // namespace halcyne
