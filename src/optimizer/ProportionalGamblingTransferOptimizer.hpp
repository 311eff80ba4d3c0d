// The node-selection optimizer of the engine: a lone candidate is taken; a candidate whose host has fewer
// than two samples is probed; otherwise every candidate's speed is drawn from the normal distribution of its
// host's recent request speeds, many times, and a candidate is picked with probability proportional to how
// often it was the fastest, so that fast hosts are used most and every host keeps a chance.
// Threads and locks as for TransferOptimizer; statistics are kept per host (lower case) for all transfers.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/random/mersenne_twister.hpp>

#include "optimizer/NodeStatistics.hpp"
#include "optimizer/TransferOptimizer.hpp"

namespace halcyne {

class ProportionalGamblingTransferOptimizer : public TransferOptimizer {
public:
    // The random engine is seeded with the current time in seconds (low 32 bits).
    explicit ProportionalGamblingTransferOptimizer(const EngineSettings& settings);
    // A fixed seed, for reproducible runs.
    ProportionalGamblingTransferOptimizer(const EngineSettings& settings, std::uint32_t seed);

    void GetNode(OptimizedRequestParams& params) override;
    // The statistics of the node's host (lower case), created on first use and never removed. Not locked:
    // callers outside GetNode and ReportResult take the optimizer's mutex (see WithLock).
    std::shared_ptr<NodeStatistics> GetStatistics(std::shared_ptr<NodeManifest> node) override;
    void UpdateStatistics(OptimizedRequestParams& params,
                          std::shared_ptr<HttpTransferStatusData> data) override;

    // The number of trials of a gamble among `candidates`: min(maxDraws / candidates, trialsPerNode x
    // candidates), so that the draws never exceed maxDraws.
    static std::uint32_t Trials(std::uint32_t maxDraws, std::uint32_t trialsPerNode, std::size_t candidates);

private:
    using StatisticsPointer = std::shared_ptr<NormalNodeStatistics>;
    StatisticsPointer StatisticsFor(const NodeManifest& node);
    // Picks a candidate index by the gamble over the candidates' statistics.
    std::size_t Gamble(const std::vector<StatisticsPointer>& statistics);

    boost::random::mt19937 engine_;  // guarded by mutex_
    const ExponentialNormalNodeStatistics prototype_;
    std::unordered_map<std::string, std::shared_ptr<NodeStatistics>> statisticsByHost_;  // guarded by mutex_
    std::vector<std::uint32_t> wins_;  // guarded by mutex_; reused by every gamble
};

}  // namespace halcyne
