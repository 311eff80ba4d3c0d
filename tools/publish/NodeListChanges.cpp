#include "NodeListChanges.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <boost/property_tree/ptree.hpp>

#include "common/AsciiText.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne::publish {

namespace {

bool SameHost(const std::string& a, const std::string& b) {
    return AsciiLower(a) == AsciiLower(b);
}

std::string Ids(const std::vector<NodeInfo>& nodes) {
    std::string ids;
    for (const NodeInfo& node : nodes) {
        ids += (ids.empty() ? "" : ", ") + node.nodeId;
    }
    return ids;
}

}  // namespace

NodeInfo ParseNodeArgument(const std::string& text, const std::string& defaultId) {
    NodeInfo node;
    std::string rest = text;
    const std::size_t equals = rest.find('=');
    if (equals != std::string::npos) {
        node.nodeId = rest.substr(0, equals);
        rest = rest.substr(equals + 1);
        if (node.nodeId.empty()) {
            throw std::invalid_argument("bad node argument: " + text);
        }
    } else {
        node.nodeId = defaultId;
    }
    // The path starts at the first '/' after the scheme, when the host is written with one.
    std::size_t hostStart = 0;
    for (const std::string scheme : {"https://", "http://"}) {
        if (rest.size() >= scheme.size() && AsciiLower(rest.substr(0, scheme.size())) == scheme) {
            hostStart = scheme.size();
            break;
        }
    }
    const std::size_t slash = rest.find('/', hostStart);
    if (slash != std::string::npos) {
        node.path = rest.substr(slash);
        rest = rest.substr(0, slash);
    }
    node.host = rest;
    if (node.host.empty()) {
        throw std::invalid_argument("bad node argument: " + text);
    }
    return node;
}

std::vector<NodeInfo> ReadNodeListXml(const std::string& xml) {
    StandardNodeListManifest list;
    try {
        boost::property_tree::ptree tree;
        ReadManifestXml(xml, tree);
        list.Load(tree);
    } catch (const std::exception& error) {
        const std::string reason = error.what();
        throw PublishError("the engine refuses the node list" + (reason.empty() ? "" : ": " + reason));
    }
    std::vector<NodeInfo> nodes;
    for (const auto& node : list.GetNodes()) {
        nodes.push_back({node->GetNodeId(), node->GetHost(), node->GetPath(), node->GetWeight()});
    }
    return nodes;
}

NodeListState ReadNodeListState(const std::string& path) {
    NodeListState state;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        boost::system::error_code error;
        state.exists = boost::filesystem::exists(boost::filesystem::symlink_status(path, error));
        if (state.exists) {
            state.unreadable = "cannot be read";
        }
        return state;
    }
    state.exists = true;
    const std::string xml{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        state.nodes = ReadNodeListXml(xml);
    } catch (const PublishError& error) {
        state.unreadable = error.what();
    }
    return state;
}

std::vector<NodeInfo> ApplyNodeChanges(const std::string& partnerId, const NodeListState& current,
                                       const NodeChanges& changes) {
    const std::string list = "the node list of partner " + partnerId;
    std::vector<NodeInfo> nodes;
    if (!changes.replacement.empty()) {
        if (!changes.added.empty() || !changes.removed.empty()) {
            throw PublishError(
                "--node gives the whole node list: it does not go with --add-node or --remove-node");
        }
        if (current.exists && !changes.replace) {
            throw PublishError("partner " + partnerId + " has a node list already (" +
                               (current.unreadable.empty() ? Ids(current.nodes) : "unreadable") +
                               "): --node replaces it only with --replace-nodes; --add-node and "
                               "--remove-node change single nodes");
        }
        nodes = changes.replacement;
    } else {
        if (!current.exists) {
            throw PublishError("partner " + partnerId + " has no node list to change: write one with --node");
        }
        if (!current.unreadable.empty()) {
            throw PublishError("cannot change " + list + ": " + current.unreadable +
                               "; replace it with --node and --replace-nodes");
        }
        nodes = current.nodes;
        for (const std::string& removed : changes.removed) {
            auto match = std::find_if(nodes.begin(), nodes.end(),
                                      [&](const NodeInfo& node) { return node.nodeId == removed; });
            if (match == nodes.end()) {
                const auto byHost = [&](const NodeInfo& node) { return SameHost(node.host, removed); };
                const auto count = std::count_if(nodes.begin(), nodes.end(), byHost);
                if (count > 1) {
                    throw PublishError("--remove-node " + removed + ": that host serves " +
                                       std::to_string(count) + " nodes of " + list + ": give the node's id");
                }
                match = std::find_if(nodes.begin(), nodes.end(), byHost);
            }
            if (match == nodes.end()) {
                throw PublishError("--remove-node " + removed + ": no such node id or host in " + list +
                                   " (" + Ids(nodes) + ")");
            }
            nodes.erase(match);
        }
        for (NodeInfo added : changes.added) {
            const auto taken = [&](const std::string& id) {
                return std::any_of(nodes.begin(), nodes.end(),
                                   [&](const NodeInfo& node) { return node.nodeId == id; });
            };
            if (added.nodeId.empty()) {
                for (std::size_t n = 1; added.nodeId.empty() || taken(added.nodeId); ++n) {
                    added.nodeId = "node" + std::to_string(n);
                }
            } else if (taken(added.nodeId)) {
                throw PublishError("--add-node: node id " + added.nodeId + " is in " + list + " already");
            }
            for (const NodeInfo& node : nodes) {
                if (SameHost(node.host, added.host) && node.path == added.path) {
                    throw PublishError("--add-node: " + added.host + added.path + " is in " + list +
                                       " already, as node " + node.nodeId);
                }
            }
            nodes.push_back(added);
        }
    }
    std::set<std::string> ids;
    for (const NodeInfo& node : nodes) {
        if (!ids.insert(node.nodeId).second) {
            throw PublishError("node id " + node.nodeId + " is given twice");
        }
    }
    if (nodes.empty()) {
        throw PublishError(list + " would be left without nodes: its players could download nothing");
    }
    return nodes;
}

std::string FormatNodes(const NodeListState& list) {
    if (!list.exists) {
        return "  (no node list)\n";
    }
    if (!list.unreadable.empty()) {
        return "  (unreadable: " + list.unreadable + ")\n";
    }
    std::string text;
    for (const NodeInfo& node : list.nodes) {
        text += "  " + node.nodeId + " " + node.host + " " + node.path;
        if (node.weight != 1) {
            text += " weight " + std::to_string(node.weight);
        }
        text += "\n";
    }
    return text;
}

}  // namespace halcyne::publish
