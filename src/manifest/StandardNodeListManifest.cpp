#include "manifest/StandardNodeListManifest.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include <boost/property_tree/ptree.hpp>

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ServerHost.hpp"
#include "optimizer/NodeStatistics.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

bool IsHostNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool IsIpv6Character(char c) {
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' || c == '.';
}

}  // namespace

bool IsHostAndPort(std::string_view text) {
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1) {
            return false;
        }
        for (const char c : text.substr(1, close - 1)) {
            if (!IsIpv6Character(c)) {
                return false;
            }
        }
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) {
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                return false;
            }
        }
    } else {
        const auto colon = text.find(':');
        const std::string_view name = text.substr(0, colon);
        if (name.empty()) {
            return false;
        }
        for (const char c : name) {
            if (!IsHostNameCharacter(c)) {
                return false;
            }
        }
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) {
                return false;
            }
        }
    }
    if (!port.empty()) {
        if (port.size() > 5) {
            return false;
        }
        const auto value = ParseDecimal(port, 65535);
        if (!value || *value == 0 || TrimWhiteSpace(port).size() != port.size()) {
            return false;
        }
    }
    return true;
}

StandardNodeManifest::StandardNodeManifest(const ptree& tree)
    : statistics_(std::make_shared<NodeStatistics>()) {
    Load(tree);
}

StandardNodeManifest::StandardNodeManifest(std::shared_ptr<const NodeManifest> from,
                                           std::shared_ptr<NodeStatistics> statistics)
    : nodeId_(from->GetNodeId()),
      host_(from->GetHost()),
      path_(from->GetPath()),
      weight_(from->GetWeight()),
      statistics_(std::move(statistics)) {}

void StandardNodeManifest::Load(const ptree& tree) {
    std::string nodeId;
    std::string host;
    std::string path;
    std::uint32_t weight = 1;
    try {
        nodeId = tree.get_child("NodeId").data();
        host = std::string(TrimWhiteSpace(tree.get_child("Host").data()));
        const auto pathChild = tree.get_child_optional("Path");
        path = pathChild ? pathChild->data() : std::string("/packages/");
        if (const auto weightChild = tree.get_child_optional("Weight")) {
            weight = static_cast<std::uint32_t>(
                ParseDecimal(weightChild->data(), std::numeric_limits<std::uint32_t>::max()).value_or(1));
        }
        if (!path.starts_with('/')) {
            path.insert(path.begin(), '/');
        }
        if (!path.ends_with('/')) {
            path.push_back('/');
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
    if (nodeId.empty() || !IsServerHost(host)) {
        throw ManifestParseException();
    }
    nodeId_ = std::move(nodeId);
    host_ = CanonicalServerHost(SplitServerHost(host));
    path_ = std::move(path);
    weight_ = weight;
}

std::shared_ptr<NodeManifest> StandardNodeManifest::WithStatistics(
    std::shared_ptr<NodeStatistics> statistics) {
    return std::make_shared<StandardNodeManifest>(shared_from_this(), std::move(statistics));
}

void StandardNodeManifest::Save(ptree& tree) const {
    tree.put("Node", host_);
    tree.put("Path", path_);
    tree.put("Weight", std::to_string(weight_));
    if (statistics_) {
        statistics_->Save(tree);
    }
}

const DocumentStamp& NodeListManifest::GetStamp() const {
    static const DocumentStamp none;
    return none;
}

namespace {

std::optional<std::string> OptionalText(const ptree& tree, const char* key) {
    const auto child = tree.get_child_optional(key);
    return child ? std::optional<std::string>(child->data()) : std::nullopt;
}

}  // namespace

void StandardNodeListManifest::Load(const ptree& tree) {
    const auto array = tree.get_child_optional("ArrayOfNodeInfo");
    if (!array) {
        throw ManifestParseException();
    }
    if (maxNodes_ > 0) {
        const auto count = static_cast<std::size_t>(std::count_if(
            array->begin(), array->end(), [](const auto& child) { return child.first == "NodeInfo"; }));
        if (count > maxNodes_) {
            throw ManifestSizeException("the node list names " + std::to_string(count) +
                                        " nodes, more than the " + std::to_string(maxNodes_) +
                                        " the updater accepts");
        }
    }
    NodeManifestList nodes;
    try {
        for (const auto& child : *array) {
            if (child.first == "NodeInfo") {
                nodes.push_back(std::make_shared<StandardNodeManifest>(child.second));
            }
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
    if (nodes.empty()) {
        throw ManifestParseException();
    }
    DocumentStamp stamp{OptionalText(*array, "PartnerId"), OptionalText(*array, "Sequence"),
                        OptionalText(*array, "Expires")};
    nodes_ = std::move(nodes);
    stamp_ = std::move(stamp);
}

}  // namespace halcyne
