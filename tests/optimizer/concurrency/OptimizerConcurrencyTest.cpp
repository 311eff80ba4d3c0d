#include <thread>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "optimizer/OptimizerFixture.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"

namespace halcyne {
namespace {

TEST(OptimizerConcurrencyTest, ManyThreadsChooseAndReportWhileReportersRead) {
    EngineSettings settings;
    settings.workerThreads = 8;
    ProportionalGamblingTransferOptimizer optimizer(settings, 1);
    const auto list = test::MakeNodeList({"a", "b", "c", "d"});
    constexpr int threads = 6;
    constexpr int attempts = 300;
    std::atomic<bool> done{false};
    std::uint64_t takenBytes = 0;
    std::thread reporter([&] {
        while (!done.load()) {
            for (const auto& node : list->GetNodes()) {
                boost::property_tree::ptree tree;
                node->Save(tree);
                takenBytes += node->GetStatistics()->totalBytes.TakeDelta();
            }
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < attempts; ++i) {
                auto params = test::MakeParams(list);
                optimizer.GetNode(params);
                const bool fails = (i + t) % 5 == 0;
                const auto outcome = test::Outcome(
                    params.SelectedNode->GetHost(),
                    fails ? HttpRequestResult::TimedOut : HttpRequestResult::Success, 1000, 10 + i % 50);
                params.SelectedNode->GetStatistics()->Update(1000, 10, fails);
                optimizer.ReportResult(params, outcome);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    done.store(true);
    reporter.join();

    std::uint64_t requests = 0;
    std::uint64_t nodeBytes = takenBytes;
    for (const auto& node : list->GetNodes()) {
        const auto statistics = optimizer.WithLock([&] { return optimizer.GetStatistics(node); });
        requests += statistics->successes.Get() + statistics->errors.Get();
        nodeBytes += node->GetStatistics()->totalBytes.TakeDelta();
    }
    EXPECT_EQ(requests, static_cast<std::uint64_t>(threads * attempts));
    EXPECT_EQ(nodeBytes, 1000u * threads * attempts);
    EXPECT_GE(optimizer.CurrentConnectTimeout(), settings.minConnectTimeout);
    EXPECT_LE(optimizer.CurrentConnectTimeout(), settings.maxConnectTimeout);
}

}  // namespace
}  // namespace halcyne
