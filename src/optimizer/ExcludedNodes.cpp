#include "optimizer/ExcludedNodes.hpp"

#include <boost/algorithm/string/case_conv.hpp>

namespace halcyne {

bool ExcludedNodes::Exclude(const NodeManifest& node) {
    std::string host = boost::algorithm::to_lower_copy(node.GetHost());
    std::lock_guard<std::mutex> lock(mutex_);
    return hosts_.insert(std::move(host)).second;
}

bool ExcludedNodes::IsExcluded(const NodeManifest& node) const {
    const std::string host = boost::algorithm::to_lower_copy(node.GetHost());
    std::lock_guard<std::mutex> lock(mutex_);
    return hosts_.count(host) != 0;
}

NodeManifestList ExcludedNodes::Remaining(const NodeManifestList& nodes) const {
    NodeManifestList remaining;
    remaining.reserve(nodes.size());
    for (const auto& node : nodes) {
        if (node && !IsExcluded(*node)) {
            remaining.push_back(node);
        }
    }
    return remaining;
}

}  // namespace halcyne
