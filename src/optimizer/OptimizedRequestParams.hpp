// What one chunk's download asks of the optimizer and how the optimizer answers: the candidate nodes, the
// chunk, and the chosen node with its request settings.
// Built and owned by the chunk request work and touched only on the thread that runs its attempt.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/TransferParams.hpp"
#include "http/HttpRequestParams.hpp"
#include "manifest/NodeListManifest.hpp"

namespace halcyne {

class ExcludedNodes;
class HttpWriteCallback;

// The chunk a request is for, copied from the pipeline's chunk record when the params are built: its file's
// path inside the package and its byte range in the file.
struct RequestedChunk {
    // The number of bytes of the chunk.
    std::uint64_t Length() const { return upperBound - lowerBound + 1; }

    std::string filePath;          // the file's path inside the package; empty for a chunk without a file
    std::uint64_t lowerBound = 0;  // offset of the chunk's first byte in the file
    std::uint64_t upperBound = 0;  // offset of the chunk's last byte (inclusive)
};

struct OptimizedRequestParams {
    // Candidates are all nodes of the list that `excluded` (when given) does not exclude, in list order.
    OptimizedRequestParams(std::shared_ptr<NodeListManifest> nodeList, TransferParams transferParams,
                           std::optional<RequestedChunk> chunkData,
                           std::shared_ptr<const ExcludedNodes> excluded = nullptr);

    // Erases the selected node from the candidates (the others keep their order); when none is left, the
    // candidates are all nodes of the list again, but for the excluded ones. Nothing happens when the
    // selected node is not a candidate.
    void RemoveSelectedNode();
    // Before a choice: erases the candidates excluded meanwhile (by any chunk of the transfer), refilling
    // them as RemoveSelectedNode does when none is left. Whether any candidate is left.
    bool DropExcluded();
    // Keeps only the candidates on `host` (host[:port], compared in lower case), when there are any: the
    // first choice of a chunk whose file is fetched again from one source. Once they fail, the candidates
    // are refilled as usual.
    void PreferHost(const std::string& host);

    // The chunk's URL on the selected node: the node's scheme (https for a host written "https://...", else
    // http), its host[:port] and the node's path (dot segments removed), then the partner, package and
    // version ids, each as one path segment followed by '/' (PathSegment), then the file's path (leading
    // '/' removed, dot segments removed without climbing above the version's folder). The file path is
    // always taken as a path: '%', '#', '?', spaces, control bytes and non-ASCII bytes are percent-encoded
    // and a first segment holding ':' is not read as a scheme. std::invalid_argument without a selected node
    // or chunk data; ManifestLocatorException for an id that cannot be a path segment.
    std::string ToUrl() const;
    // A GET of ToUrl() into `writer` for exactly the chunk's bytes, with the four time-outs of these params
    // and every other field at its default.
    HttpRequestParams ToRequestParams(HttpWriteCallback* writer) const;

    std::shared_ptr<NodeListManifest> nodeList;
    std::shared_ptr<const ExcludedNodes> excluded;  // the transfer's excluded nodes, or empty
    NodeManifestList candidates;                    // the nodes not yet tried, in list order
    TransferParams transferParams;
    std::optional<RequestedChunk> ChunkData;     // empty for params built without a chunk
    std::shared_ptr<NodeManifest> SelectedNode;  // empty until the optimizer has chosen
    bool noRetryCharge = false;                  // the next retry decision does not count against the limit
    bool adaptiveTimeouts = false;               // the time-outs may still be raised by the optimizer
    bool probeRequest = false;                   // the node was chosen as a probe
    std::int32_t connectTimeout = 0;             // seconds
    std::int32_t timeout = 0;                    // seconds
    std::int32_t lowSpeedLimit = 0;              // bytes per second
    std::int32_t lowSpeedTime = 0;               // seconds

private:
    // The candidates become all nodes of the list but the excluded ones.
    void Refill();
};

// The URL of a package file on a node: the node's folder, then the partner, package and version ids each
// as one path segment, then the file's path resolved below the version's folder. ManifestLocatorException
// when an id cannot stand as a segment.
std::string NodeFileUrl(const NodeManifest& node, const TransferParams& transferParams,
                        const std::string& filePath);

}  // namespace halcyne
