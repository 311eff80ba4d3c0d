// The two manifest interfaces: objects that load themselves from, or save themselves into, a property tree.
// A manifest is created empty, loaded once on one thread, and only read afterwards, from any thread.
#pragma once

#include <functional>

#include <boost/property_tree/ptree_fwd.hpp>

namespace halcyne {

// Takes one "file" element of a package manifest as its own tree (attributes promoted), in document order.
using ManifestFileSink = std::function<void(const boost::property_tree::ptree& file)>;

class InputManifest {
public:
    virtual ~InputManifest() = default;
    // Fills the manifest from the tree; throws the ManifestException family (std::bad_alloc as itself).
    virtual void Load(const boost::property_tree::ptree& tree) = 0;
    // Where a reader may hand over a package manifest's "file" elements one at a time, as it reads them,
    // instead of leaving them in the tree (ReadManifestXmlInPlace); the next Load takes them before the
    // tree's own. Empty (the default): the manifest reads everything from the tree.
    virtual ManifestFileSink FileSink() { return nullptr; }
};

class OutputManifest {
public:
    virtual ~OutputManifest() = default;
    virtual void Save(boost::property_tree::ptree& tree) const = 0;
};

}  // namespace halcyne
