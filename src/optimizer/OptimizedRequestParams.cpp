#include "optimizer/OptimizedRequestParams.hpp"

#include <algorithm>
#include <stdexcept>

#include <boost/algorithm/string/predicate.hpp>

#include "common/Uri.hpp"
#include "manifest/PackageRef.hpp"
#include "manifest/ServerHost.hpp"
#include "optimizer/ExcludedNodes.hpp"

namespace halcyne {

namespace {

// The file's path as a relative reference that stays a path: leading '/' removed; '%', '#', '?' encoded so
// that they neither start a query or fragment nor decode into other bytes (the rest, spaces, control and
// non-ASCII bytes, are encoded when the URL is written); "./" before a first segment with ':', which
// would otherwise read as a scheme.
std::string FilePathReference(const std::string& filePath) {
    const std::size_t start = filePath.find_first_not_of('/');
    if (start == std::string::npos) {
        return std::string();
    }
    std::string reference;
    reference.reserve(filePath.size() - start + 8);
    for (std::size_t i = start; i < filePath.size(); ++i) {
        const char c = filePath[i];
        if (c == '%') {
            reference += "%25";
        } else if (c == '#') {
            reference += "%23";
        } else if (c == '?') {
            reference += "%3F";
        } else {
            reference += c;
        }
    }
    const std::size_t firstSlash = reference.find('/');
    if (reference.substr(0, firstSlash).find(':') != std::string::npos) {
        reference.insert(0, "./");
    }
    return reference;
}

}  // namespace

OptimizedRequestParams::OptimizedRequestParams(std::shared_ptr<NodeListManifest> nodeList,
                                               TransferParams transferParams,
                                               std::optional<RequestedChunk> chunkData,
                                               std::shared_ptr<const ExcludedNodes> excluded)
    : nodeList(std::move(nodeList)),
      excluded(std::move(excluded)),
      transferParams(std::move(transferParams)),
      ChunkData(std::move(chunkData)) {
    Refill();
}

void OptimizedRequestParams::Refill() {
    if (!nodeList) {
        candidates.clear();
        return;
    }
    candidates = excluded ? excluded->Remaining(nodeList->GetNodes()) : nodeList->GetNodes();
}

void OptimizedRequestParams::RemoveSelectedNode() {
    const auto found = std::find(candidates.begin(), candidates.end(), SelectedNode);
    if (found == candidates.end()) {
        return;
    }
    candidates.erase(found);
    if (candidates.empty()) {
        Refill();
    }
}

bool OptimizedRequestParams::DropExcluded() {
    if (excluded) {
        candidates = excluded->Remaining(candidates);
    }
    if (candidates.empty()) {
        Refill();
    }
    return !candidates.empty();
}

void OptimizedRequestParams::PreferHost(const std::string& host) {
    NodeManifestList preferred;
    for (const auto& node : candidates) {
        if (boost::algorithm::iequals(node->GetHost(), host)) {
            preferred.push_back(node);
        }
    }
    if (!preferred.empty()) {
        candidates = std::move(preferred);
    }
}

std::string OptimizedRequestParams::ToUrl() const {
    if (!SelectedNode || !ChunkData) {
        throw std::invalid_argument(
            "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData");
    }
    return NodeFileUrl(*SelectedNode, transferParams, ChunkData->filePath);
}

std::string NodeFileUrl(const NodeManifest& nodeManifest, const TransferParams& transferParams,
                        const std::string& filePath) {
    // The node's folder, dot segments resolved, ending with '/'.
    const ServerHost server = SplitServerHost(nodeManifest.GetHost());
    Uri node;
    node.SetScheme(server.scheme);
    node.SetAuthority(server.authority);
    node.SetPath(nodeManifest.GetPath());
    node.Resolve("./");
    // The ids are written as segments, never resolved as references: an id such as "//host", "build:42",
    // "1.0?rc" or ".." would otherwise name another host, a scheme, a query or another folder.
    const std::string ids = PathSegment(transferParams.partnerId) + "/" +
                            PathSegment(transferParams.packageId) + "/" +
                            PathSegment(transferParams.versionId) + "/";
    // The file's path is resolved on its own, so that its dot segments stay below the version's folder.
    Uri file("http", "file");
    file.SetPath("/");
    file.Resolve(FilePathReference(filePath));
    std::string url = node.ToString() + ids;
    UriEncode(std::string_view(file.Path()).substr(1), "?#", url);
    return url;
}

HttpRequestParams OptimizedRequestParams::ToRequestParams(HttpWriteCallback* writer) const {
    HttpRequestParams params(ToUrl(), writer);
    params.rangeStart = ChunkData->lowerBound;
    params.rangeEnd = ChunkData->upperBound;
    params.connectTimeout = connectTimeout;
    params.timeout = timeout;
    params.lowSpeedLimit = lowSpeedLimit;
    params.lowSpeedTime = lowSpeedTime;
    return params;
}

}  // namespace halcyne
