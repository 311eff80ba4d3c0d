#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "optimizer/OptimizerFixture.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"

namespace halcyne {
namespace {

using test::Feed;
using test::MakeNodeList;
using test::MakeParams;
using test::Outcome;

EngineSettings Settings(int workerThreads = 12, double alpha = 0.3) {
    EngineSettings settings;
    settings.workerThreads = workerThreads;
    settings.statisticsAlpha = alpha;
    return settings;
}

struct Selection {
    std::int32_t connectTimeout, timeout, lowSpeedLimit, lowSpeedTime;
    bool probe, noRetryCharge, adaptive;
    bool operator==(const Selection&) const = default;
};

Selection SelectionOf(const OptimizedRequestParams& params) {
    return {params.connectTimeout, params.timeout,       params.lowSpeedLimit,   params.lowSpeedTime,
            params.probeRequest,   params.noRetryCharge, params.adaptiveTimeouts};
}

// How often each host is chosen in `picks` choices among all nodes of the list.
std::map<std::string, int> Choices(ProportionalGamblingTransferOptimizer& optimizer,
                                   std::shared_ptr<NodeListManifest> list, int picks) {
    std::map<std::string, int> counts;
    for (int i = 0; i < picks; ++i) {
        auto params = MakeParams(list);
        optimizer.GetNode(params);
        EXPECT_FALSE(params.probeRequest);
        ++counts[params.SelectedNode->GetHost()];
    }
    return counts;
}

TEST(TransferOptimizerTest, SelectionSettingsFollowTheChunkLengthAndThreads) {
    struct Case {
        const char* label;
        std::vector<std::string> hosts;
        std::uint64_t length;
        Selection expected;
    };
    const Case cases[] = {
        {"lone node, normal", {"a"}, 1048576, {3, 1755, 597, 5, false, false, true}},
        {"untested pair, probe", {"a", "b"}, 1048576, {2, 384, 2730, 3, true, true, false}},
        {"tiny chunk, normal", {"a"}, 1, {3, 10, 597, 5, false, false, true}},
        {"tiny chunk, probe", {"a", "b"}, 1, {2, 3, 2730, 3, true, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ProportionalGamblingTransferOptimizer optimizer(Settings(), 1);
        const auto list = MakeNodeList(c.hosts);
        auto params = MakeParams(list, c.length);
        optimizer.GetNode(params);
        ASSERT_NE(params.SelectedNode, nullptr);
        EXPECT_EQ(SelectionOf(params), c.expected);
    }
}

TEST(TransferOptimizerTest, RequestTimeoutIsComputedWithoutOverflow) {
    constexpr auto max32 = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(ChunkRequestTimeout(1048576, 12, 7168, 10), 1755);
    EXPECT_EQ(ChunkRequestTimeout(1, 12, 7168, 10), 10);
    // 32-bit arithmetic would wrap here: (2^32 - 1) x 12 bytes.
    EXPECT_EQ(ChunkRequestTimeout(4294967295u, 12, 7168, 10), 7190235);
    EXPECT_EQ(ChunkRequestTimeout(std::numeric_limits<std::uint64_t>::max(), 12, 1, 10), max32);
    EXPECT_EQ(ChunkRequestTimeout(100, 0, 0, 3), 100);  // threads and speed below 1 count as 1
}

TEST(TransferOptimizerTest, TimeoutsShrinkOnSuccessAndDoubleOnTimeOutWithinBounds) {
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 1);
    const auto list = MakeNodeList({"a"});
    Feed(optimizer, list, 0, HttpRequestResult::Success, 100, 10, 20);
    EXPECT_EQ(optimizer.CurrentConnectTimeout(), 3);
    EXPECT_EQ(optimizer.CurrentLowSpeedTime(), 5);
    std::vector<std::pair<int, int>> seen;
    for (int i = 0; i < 4; ++i) {
        Feed(optimizer, list, 0, HttpRequestResult::TimedOut, 0, 10);
        seen.emplace_back(optimizer.CurrentConnectTimeout(), optimizer.CurrentLowSpeedTime());
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{6, 10}, {12, 20}, {15, 40}, {15, 60}}));

    // At the maxima a normal selection no longer has adaptive time-outs.
    auto params = MakeParams(list);
    optimizer.GetNode(params);
    EXPECT_EQ(SelectionOf(params), (Selection{15, 1755, 597, 60, false, false, false}));

    // Other failures change nothing; a success takes one second off each.
    Feed(optimizer, list, 0, HttpRequestResult::ConnectFailed, 0, 10);
    Feed(optimizer, list, 0, HttpRequestResult::Cancelled, 0, 10);
    EXPECT_EQ(optimizer.CurrentConnectTimeout(), 15);
    Feed(optimizer, list, 0, HttpRequestResult::Success, 100, 10);
    EXPECT_EQ(optimizer.CurrentConnectTimeout(), 14);
    EXPECT_EQ(optimizer.CurrentLowSpeedTime(), 59);

    // Probes never move the time-outs, but still count in the statistics.
    auto probe = MakeParams(list);
    probe.SelectedNode = list->GetNodes()[0];
    probe.probeRequest = true;
    optimizer.ReportResult(probe, Outcome("a", HttpRequestResult::TimedOut, 0, 10));
    EXPECT_EQ(optimizer.CurrentConnectTimeout(), 14);
    ASSERT_NE(list->GetNodes()[0], nullptr);
    const auto statistics = optimizer.WithLock([&] { return optimizer.GetStatistics(list->GetNodes()[0]); });
    EXPECT_EQ(statistics->errors.Get(), 6u);  // four time-outs, the connect failure and the probe
}

TEST(TransferOptimizerTest, TrialsKeepTheDrawsWithinTheBudget) {
    EXPECT_EQ(ProportionalGamblingTransferOptimizer::Trials(10000, 50, 3), 150u);
    EXPECT_EQ(ProportionalGamblingTransferOptimizer::Trials(10000, 50, 200), 50u);
    EXPECT_EQ(ProportionalGamblingTransferOptimizer::Trials(10000, 50, 20000), 0u);
    EXPECT_EQ(ProportionalGamblingTransferOptimizer::Trials(10000, 50, 2), 100u);
}

TEST(TransferOptimizerTest, EmptyCandidateListThrowsBeforeAnythingChanges) {
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 1);
    const auto list = MakeNodeList({"a", "b"});
    auto params = MakeParams(list);
    params.candidates.clear();
    try {
        optimizer.GetNode(params);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "TransferOptimizer::GetNode received empty nodelist");
    }
    EXPECT_EQ(params.SelectedNode, nullptr);
    EXPECT_EQ(SelectionOf(params), (Selection{0, 0, 0, 0, false, false, false}));
}

TEST(TransferOptimizerTest, FailureFlagFollowsTheRequestResult) {
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 1);
    for (int value = 0; value <= 14; ++value) {
        const auto result = static_cast<HttpRequestResult>(value);
        SCOPED_TRACE(ToString(result));
        const auto list = MakeNodeList({"host" + std::to_string(value)});
        Feed(optimizer, list, 0, result, 1000, 100);
        const auto statistics =
            optimizer.WithLock([&] { return optimizer.GetStatistics(list->GetNodes()[0]); });
        EXPECT_EQ(statistics->errors.Get(), value >= 4 ? 1u : 0u);
        EXPECT_EQ(statistics->successes.Get(), value >= 4 ? 0u : 1u);
        EXPECT_EQ(statistics->totalBytes.Get(), 1000u);
    }
}

TEST(TransferOptimizerTest, HostsShareStatisticsWhateverTheirCase) {
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 1);
    const auto first = MakeNodeList({"CDN.Example:8080", "other", "https://cdn.example:8080"});
    const auto second =
        MakeNodeList({"cdn.example:8080", "HTTP://cdn.example:8080", "HTTPS://CDN.example:8080"});
    optimizer.WithLock([&] {
        const auto a = optimizer.GetStatistics(first->GetNodes()[0]);
        EXPECT_EQ(a, optimizer.GetStatistics(second->GetNodes()[0]));
        EXPECT_EQ(a, optimizer.GetStatistics(second->GetNodes()[1]));  // "http://" written out: the same node
        EXPECT_NE(a, optimizer.GetStatistics(first->GetNodes()[1]));
        EXPECT_NE(a, first->GetNodes()[0]->GetStatistics());  // not the node's own statistics
        // The same host over https is another server, with statistics of its own, whatever its case.
        const auto secure = optimizer.GetStatistics(first->GetNodes()[2]);
        EXPECT_NE(a, secure);
        EXPECT_EQ(secure, optimizer.GetStatistics(second->GetNodes()[2]));
    });
    // Two attempts through either spelling make the host tested: no more probes of it.
    Feed(optimizer, first, 0, HttpRequestResult::Success, 1000, 10);
    Feed(optimizer, second, 0, HttpRequestResult::Success, 1000, 10);
    Feed(optimizer, first, 1, HttpRequestResult::Success, 1000, 10, 2);
    Feed(optimizer, first, 2, HttpRequestResult::Success, 1000, 10, 2);
    auto params = MakeParams(first);
    optimizer.GetNode(params);
    EXPECT_FALSE(params.probeRequest);
}

TEST(TransferOptimizerTest, UntestedNodesAreProbedFirstAndUniformly) {
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 7);
    const auto list = MakeNodeList({"tested1", "new1", "tested2", "new2"});
    Feed(optimizer, list, 0, HttpRequestResult::Success, 1000000, 10, 2);
    Feed(optimizer, list, 2, HttpRequestResult::Success, 1000000, 10, 2);
    Feed(optimizer, list, 3, HttpRequestResult::Success, 1000000, 10, 1);  // one sample: still untested
    std::map<std::string, int> counts;
    for (int i = 0; i < 400; ++i) {
        auto params = MakeParams(list);
        optimizer.GetNode(params);
        EXPECT_TRUE(params.probeRequest);
        ++counts[params.SelectedNode->GetHost()];
    }
    EXPECT_EQ(counts.size(), 2u);
    EXPECT_GT(counts["new1"], 150);
    EXPECT_GT(counts["new2"], 150);
}

TEST(TransferOptimizerTest, FasterNodeWinsWhereverItStandsAndOthersKeepAChance) {
    for (std::size_t fast = 0; fast < 3; ++fast) {
        SCOPED_TRACE("fast node at " + std::to_string(fast));
        ProportionalGamblingTransferOptimizer optimizer(Settings(), 11);
        const auto list = MakeNodeList({"n0", "n1", "n2"});
        for (std::size_t node = 0; node < 3; ++node) {
            // 10 MB/s for the fast node, 1 MB/s for the others, 20 requests each.
            Feed(optimizer, list, node, HttpRequestResult::Success, node == fast ? 10000000 : 1000000, 1000,
                 20);
        }
        auto counts = Choices(optimizer, list, 3000);
        // 150 trials: a slow node only wins its own initial count, 1 / 153 of the choices.
        const std::string fastHost = "n" + std::to_string(fast);
        EXPECT_GT(counts[fastHost], 2850);
        for (const auto& [host, count] : counts) {
            if (host != fastHost) {
                EXPECT_GE(count, 5) << host;
                EXPECT_LE(count, 60) << host;
            }
        }
    }
}

TEST(TransferOptimizerTest, ChancesFollowTheSpeedDistributions) {
    // Two nodes of equal speed share the choices; a failing node keeps at least 1 / (trials + n).
    ProportionalGamblingTransferOptimizer optimizer(Settings(), 5);
    const auto list = MakeNodeList({"even1", "even2", "failing"});
    Feed(optimizer, list, 0, HttpRequestResult::Success, 4000000, 1000, 10);
    Feed(optimizer, list, 1, HttpRequestResult::Success, 4000000, 1000, 10);
    Feed(optimizer, list, 2, HttpRequestResult::Success, 4000000, 1000, 1);
    Feed(optimizer, list, 2, HttpRequestResult::ConnectFailed, 0, 3000, 30);
    auto counts = Choices(optimizer, list, 6000);
    EXPECT_NEAR(counts["even1"], counts["even2"], 400);
    // 150 trials among 3: at least 1 / 153 of 6000 choices, about 39.
    EXPECT_GE(counts["failing"], 15);
    EXPECT_LE(counts["failing"], 100);
}

TEST(TransferOptimizerTest, ZeroDeviationDrawsTheMeanAndTiesGoToTheFirstCandidate) {
    // With alpha 1 a host's distribution is its last sample with variance 0.
    ProportionalGamblingTransferOptimizer optimizer(Settings(12, 1.0), 3);
    const auto list = MakeNodeList({"dead1", "dead2", "slow", "fast"});
    Feed(optimizer, list, 0, HttpRequestResult::ConnectFailed, 0, 10, 2);
    Feed(optimizer, list, 1, HttpRequestResult::ConnectFailed, 0, 10, 2);
    Feed(optimizer, list, 2, HttpRequestResult::Success, 1000, 1000, 2);
    Feed(optimizer, list, 3, HttpRequestResult::Success, 2000, 1000, 2);
    // Every trial goes to "fast": 150 + 1 wins of 154, the others 1 each.
    auto counts = Choices(optimizer, list, 4000);
    EXPECT_GT(counts["fast"], 3850);

    // Only the two dead hosts: every draw is 0, so every trial goes to the first candidate (101 of 102).
    auto params = MakeParams(list);
    params.candidates = {list->GetNodes()[1], list->GetNodes()[0]};
    int first = 0;
    for (int i = 0; i < 1000; ++i) {
        auto attempt = params;
        optimizer.GetNode(attempt);
        first += attempt.SelectedNode == list->GetNodes()[1] ? 1 : 0;
    }
    EXPECT_GT(first, 970);
}

TEST(TransferOptimizerTest, SameSeedMakesTheSameChoices) {
    const auto list = MakeNodeList({"a", "b", "c", "d"});
    std::vector<std::string> runs[2];
    for (auto& run : runs) {
        ProportionalGamblingTransferOptimizer optimizer(Settings(), 99);
        for (int i = 0; i < 200; ++i) {
            auto params = MakeParams(list);
            optimizer.GetNode(params);
            run.push_back(params.SelectedNode->GetHost());
            const bool fails = params.SelectedNode->GetHost() == "d";
            optimizer.ReportResult(
                params, Outcome(params.SelectedNode->GetHost(),
                                fails ? HttpRequestResult::TimedOut : HttpRequestResult::Success, 1048576,
                                100 + 10 * (i % 7)));
        }
    }
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(OptimizedRequestParamsTest, RemovingTheSelectedNodeRefillsWhenEmpty) {
    const auto list = MakeNodeList({"a", "b", "c"});
    auto params = MakeParams(list);
    ASSERT_EQ(params.candidates, list->GetNodes());
    params.SelectedNode = list->GetNodes()[1];
    params.RemoveSelectedNode();
    EXPECT_EQ(params.candidates, (NodeManifestList{list->GetNodes()[0], list->GetNodes()[2]}));
    params.RemoveSelectedNode();  // no longer a candidate: nothing happens
    EXPECT_EQ(params.candidates.size(), 2u);
    params.SelectedNode = list->GetNodes()[0];
    params.RemoveSelectedNode();
    params.SelectedNode = list->GetNodes()[2];
    params.RemoveSelectedNode();
    EXPECT_EQ(params.candidates, list->GetNodes());
}

}  // namespace
}  // namespace halcyne
