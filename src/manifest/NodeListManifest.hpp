// The content nodes of a transfer: the node list and its node manifests.
// Loaded once on the loading thread, then read from any thread; a node's statistics guard themselves and
// are updated by the chunk request works of its transfer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "manifest/DocumentStamp.hpp"
#include "manifest/Manifest.hpp"

namespace halcyne {

class NodeStatistics;

// Must always be held by a shared pointer (WithStatistics hands out shared_from_this()).
class NodeManifest : public InputManifest,
                     public OutputManifest,
                     public std::enable_shared_from_this<NodeManifest> {
public:
    ~NodeManifest() override = default;
    void Load(const boost::property_tree::ptree& tree) override = 0;
    virtual const std::string& GetNodeId() const = 0;
    // host[:port] of the node's HTTP server.
    virtual const std::string& GetHost() const = 0;
    // The URL path under which the node serves packages; begins and ends with '/'.
    virtual const std::string& GetPath() const = 0;
    virtual std::uint32_t GetWeight() const = 0;
    virtual std::shared_ptr<NodeStatistics> GetStatistics() const = 0;
    // A new node with the same id, host, path and weight and the given statistics; this one is unchanged.
    virtual std::shared_ptr<NodeManifest> WithStatistics(std::shared_ptr<NodeStatistics> statistics) = 0;
    void Save(boost::property_tree::ptree& tree) const override = 0;
};

using NodeManifestList = std::vector<std::shared_ptr<NodeManifest>>;

class NodeListManifest : public InputManifest {
public:
    ~NodeListManifest() override = default;
    void Load(const boost::property_tree::ptree& tree) override = 0;
    // The nodes in document order.
    virtual const NodeManifestList& GetNodes() const = 0;
    // The document's stamp (the owner is the partner id). The default is empty, for lists that never carry
    // one.
    virtual const DocumentStamp& GetStamp() const;
};

}  // namespace halcyne
