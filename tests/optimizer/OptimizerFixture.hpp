// Small builders for the optimizer tests: node lists from XML, request params for a chunk, reported
// attempts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "http/HttpRequestStatus.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "optimizer/TransferOptimizer.hpp"

namespace halcyne::test {

// A node list whose nodes have the given hosts (node ids "n0", "n1", ...).
inline std::shared_ptr<NodeListManifest> MakeNodeList(const std::vector<std::string>& hosts) {
    std::string xml = "<ArrayOfNodeInfo>";
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        xml += "<NodeInfo NodeId='n" + std::to_string(i) + "' Host='" + hosts[i] + "'/>";
    }
    xml += "</ArrayOfNodeInfo>";
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Load(tree);
    return list;
}

// Params for a chunk of `length` bytes with every node of the list as a candidate.
inline OptimizedRequestParams MakeParams(std::shared_ptr<NodeListManifest> list,
                                         std::uint64_t length = 1048576) {
    return OptimizedRequestParams(std::move(list), TransferParams(),
                                  RequestedChunk{"", 4096, 4096 + length - 1});
}

inline std::shared_ptr<HttpTransferStatusData> Outcome(const std::string& host, HttpRequestResult result,
                                                       std::uint64_t bytes, std::int32_t timeMs) {
    HttpRequestStatus status;
    status.result = result;
    status.bytesWritten = bytes;
    return std::make_shared<HttpTransferStatusData>(host, status, timeMs);
}

// Reports `times` attempts on `node` as normal (not probe) selections.
inline void Feed(TransferOptimizer& optimizer, std::shared_ptr<NodeListManifest> list, std::size_t node,
                 HttpRequestResult result, std::uint64_t bytes, std::int32_t timeMs, int times = 1) {
    for (int i = 0; i < times; ++i) {
        auto params = MakeParams(list);
        params.SelectedNode = list->GetNodes()[node];
        optimizer.ReportResult(params, Outcome(params.SelectedNode->GetHost(), result, bytes, timeMs));
    }
}

}  // namespace halcyne::test
