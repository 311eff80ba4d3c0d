// The JSON text form against Boost's write_json (compact) on the same event trees: a simple analytics
// request, an end event's report array (one simple request and 16 node reports, under one key because
// write_json cannot write a root array), and a work log completion entry.
#include <sstream>

#include <benchmark/benchmark.h>
#include <boost/property_tree/json_parser.hpp>

#include "events/EventAnalyticsRequest.hpp"
#include "events/JsonText.hpp"

namespace {

using namespace halcyne;
using boost::property_tree::ptree;

TransferParams Params() {
    TransferParams params;
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "partner";
    params.packageId = "package";
    params.versionId = "1.2.3";
    return params;
}

ptree Tree(int kind) {
    ptree tree;
    if (kind == 0) {
        SimpleEventAnalyticsRequest(Params(), "numStarts").Save(tree);
    } else if (kind == 1) {
        ptree array;
        array.push_back({"", ptree()});
        SimpleEventAnalyticsRequest(Params(), "numCompletes").Save(array.back().second);
        for (int node = 0; node < 16; ++node) {
            array.push_back({"", ptree()});
            OptimizerAnalyticsRequest(Params(), 1048576ull * node, 2500 + node,
                                      "node" + std::to_string(node) + ".cdn.example:8080")
                .Save(array.back().second);
        }
        tree.add_child("reports", array);
    } else {
        tree.put("event", "OnWorkComplete");
        tree.put("params.name", "DownloadChunkWork");
        tree.put("params.important", "true");
        tree.put("params.path", "bin/Game Files/data \"main\".pak");
        tree.put("params.chunk", "1234");
        tree.put("params.workStatus.result", "3");
        tree.put("params.workStatus.retry", "true");
        tree.put("params.workStatus.data.errorMessage", "ChunkWork::Verify checksum mismatch\tat 0x1f");
    }
    return tree;
}

void BM_WriteJsonText(benchmark::State& state) {
    const ptree tree = Tree(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(WriteJsonText(tree));
    }
}
BENCHMARK(BM_WriteJsonText)->Arg(0)->Arg(1)->Arg(2);

void BM_BoostWriteJson(benchmark::State& state) {
    const ptree tree = Tree(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::ostringstream out;
        boost::property_tree::write_json(out, tree, false);
        benchmark::DoNotOptimize(out.str());
    }
}
BENCHMARK(BM_BoostWriteJson)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
