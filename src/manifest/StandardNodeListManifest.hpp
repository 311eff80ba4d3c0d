// The node list document: an "ArrayOfNodeInfo" element whose "NodeInfo" children are the nodes, each with
// "NodeId", "Host", an optional "Path" and an optional "Weight"; beside them, the optional stamp of a signed
// list: "PartnerId", "Sequence" and "Expires".
// Loaded once on the loading thread, then read from any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "manifest/NodeListManifest.hpp"

namespace halcyne {

class StandardNodeManifest : public NodeManifest {
public:
    // Creates fresh statistics (all counters zero), then loads the "NodeInfo" subtree.
    explicit StandardNodeManifest(const boost::property_tree::ptree& tree);
    // Copies id, host, path and weight from `from` and uses the given statistics.
    StandardNodeManifest(std::shared_ptr<const NodeManifest> from,
                         std::shared_ptr<NodeStatistics> statistics);

    // Throws ManifestParseException (std::bad_alloc as itself) when NodeId or Host is missing or empty, or
    // the host (surrounding white space removed) is not host[:port] after an optional "https://" or
    // "http://"; the host is kept in its one spelling (CanonicalServerHost). Path defaults to "/packages/"
    // and gets a leading and a trailing '/' where missing; a Weight that is missing or not a plain decimal
    // number gives 1.
    void Load(const boost::property_tree::ptree& tree) override;
    const std::string& GetNodeId() const override { return nodeId_; }
    const std::string& GetHost() const override { return host_; }
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetWeight() const override { return weight_; }
    std::shared_ptr<NodeStatistics> GetStatistics() const override { return statistics_; }
    std::shared_ptr<NodeManifest> WithStatistics(std::shared_ptr<NodeStatistics> statistics) override;
    // "Node" = host, "Path", "Weight", then the statistics' own keys.
    void Save(boost::property_tree::ptree& tree) const override;

private:
    std::string nodeId_;
    std::string host_;
    std::string path_;
    std::uint32_t weight_ = 1;
    std::shared_ptr<NodeStatistics> statistics_;
};

class StandardNodeListManifest : public NodeListManifest {
public:
    // A list of at most maxNodes nodes (0: any number).
    explicit StandardNodeListManifest(std::size_t maxNodes = 0) : maxNodes_(maxNodes) {}

    // Reads the child "ArrayOfNodeInfo" of the tree; one bad node, or no node at all, makes the whole list
    // invalid (ManifestParseException; std::bad_alloc as itself), and the list is then left as it was. A
    // list of more than maxNodes nodes is ManifestSizeException, before any node is read.
    // The stamp's texts are kept as written (nothing checks them here).
    void Load(const boost::property_tree::ptree& tree) override;
    const NodeManifestList& GetNodes() const override { return nodes_; }
    const DocumentStamp& GetStamp() const override { return stamp_; }

private:
    std::size_t maxNodes_;
    NodeManifestList nodes_;
    DocumentStamp stamp_;
};

// True for host[:port]: a host name or IPv4 address (letters, digits, '-', '.', '_') or an IPv6 address in
// brackets, optionally followed by ':' and a port from 1 to 65535.
bool IsHostAndPort(std::string_view text);

}  // namespace halcyne
