// The content nodes that one transfer no longer asks for chunks. A node that sent a chunk whose CRC-32 is
// right but whose SHA-256 is not has forged it on purpose (a damaged body would not keep its CRC-32), so
// nothing it sends later can be trusted either. Nodes are told apart by host (in lower case), as the
// optimizer's statistics are: two entries of the node list on one host are one server.
//
// One per transfer generation, shared by all works of its tree through the transfer work interface and
// called from any work-manager thread. The mutex is a leaf: nothing is called while it is held.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "manifest/NodeListManifest.hpp"

namespace halcyne {

class ExcludedNodes {
public:
    // Excludes the node's host; whether it was not excluded before.
    bool Exclude(const NodeManifest& node);
    bool IsExcluded(const NodeManifest& node) const;
    // The nodes of `nodes` that are not excluded, in their order.
    NodeManifestList Remaining(const NodeManifestList& nodes) const;

private:
    mutable std::mutex mutex_;     // guards hosts_
    std::set<std::string> hosts_;  // lower case
};

}  // namespace halcyne
