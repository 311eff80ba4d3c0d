// The cost of one node choice by the gambling optimizer (at most optimizerMaxDraws normal draws), for
// a few candidate counts, with every host tested so that each call gambles.
#include <string>

#include <benchmark/benchmark.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"

namespace {

using namespace halcyne;

void GetNode(benchmark::State& state) {
    const auto nodes = static_cast<int>(state.range(0));
    std::string xml = "<ArrayOfNodeInfo>";
    for (int i = 0; i < nodes; ++i) {
        xml += "<NodeInfo NodeId='n" + std::to_string(i) + "' Host='node" + std::to_string(i) + ".example'/>";
    }
    xml += "</ArrayOfNodeInfo>";
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Load(tree);

    ProportionalGamblingTransferOptimizer optimizer(EngineSettings(), 1);
    const RequestedChunk chunk{"", 0, 1048575};
    for (int i = 0; i < nodes; ++i) {
        for (int sample = 0; sample < 3; ++sample) {
            OptimizedRequestParams params(list, TransferParams(), chunk);
            params.SelectedNode = list->GetNodes()[static_cast<std::size_t>(i)];
            HttpRequestStatus status;
            status.result = HttpRequestResult::Success;
            status.bytesWritten = 1048576;
            optimizer.ReportResult(
                params, std::make_shared<HttpTransferStatusData>("", status, 50 + 10 * i + sample));
        }
    }
    OptimizedRequestParams params(list, TransferParams(), chunk);
    for (auto _ : state) {
        optimizer.GetNode(params);
        benchmark::DoNotOptimize(params.SelectedNode);
    }
}
BENCHMARK(GetNode)->Arg(2)->Arg(3)->Arg(10)->Arg(200);

}  // namespace
