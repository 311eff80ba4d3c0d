// The engine's single node-selection optimizer: for every chunk request attempt it picks a content node
// and the request's time-outs, and learns from how the attempt went.
// Chunk request works of all transfers call GetNode and ReportResult from many work-manager threads; both
// hold the optimizer's mutex throughout. Lock order: the optimizer's mutex before one statistics mutex at a
// time; nothing is called back.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/EngineSettings.hpp"

namespace halcyne {

class HttpTransferStatusData;
class NodeManifest;
class NodeStatistics;
struct OptimizedRequestParams;

class TransferOptimizer {
public:
    explicit TransferOptimizer(const EngineSettings& settings);
    TransferOptimizer(const TransferOptimizer&) = delete;
    TransferOptimizer& operator=(const TransferOptimizer&) = delete;
    virtual ~TransferOptimizer();

    // Chooses params.SelectedNode among params.candidates and fills the request settings. Throws
    // std::invalid_argument when there are no candidates, before anything changes.
    virtual void GetNode(OptimizedRequestParams& params) = 0;
    // Under the mutex: adapts the time-outs (unless the attempt was a probe), then UpdateStatistics.
    virtual void ReportResult(OptimizedRequestParams& params, std::shared_ptr<HttpTransferStatusData> data);
    // The statistics the optimizer keeps for a node; here the node's own.
    virtual std::shared_ptr<NodeStatistics> GetStatistics(std::shared_ptr<NodeManifest> node);
    // Feeds the attempt into the selected node's statistics. Called under the mutex.
    virtual void UpdateStatistics(OptimizedRequestParams& params,
                                  std::shared_ptr<HttpTransferStatusData> data) = 0;

    // Runs `function` under the optimizer's mutex. Callers outside GetNode and ReportResult (the node
    // report, tests) call GetStatistics through it, since an optimizer may create statistics on lookup.
    template <typename Function>
    auto WithLock(Function&& function) {
        std::lock_guard<std::mutex> lock(mutex_);
        return function();
    }

    // The current time-outs of normal selections, in seconds.
    std::int32_t CurrentConnectTimeout() const;
    std::int32_t CurrentLowSpeedTime() const;

protected:
    // Fill params for the node as an ordinary choice (current, adaptive time-outs) or as a probe (short
    // fixed time-outs, no retry charged). Called under the mutex.
    void SelectNormal(OptimizedRequestParams& params, std::shared_ptr<NodeManifest> node) const;
    void SelectProbe(OptimizedRequestParams& params, std::shared_ptr<NodeManifest> node) const;

    mutable std::mutex mutex_;  // guards currentConnectTimeout_, currentLowSpeedTime_ and derived state
    const EngineSettings settings_;
    std::int32_t currentConnectTimeout_;  // seconds
    std::int32_t currentLowSpeedTime_;    // seconds
};

// The total time-out of a request for a chunk: the seconds the chunk takes at the per-request share of the
// floor speed (length x workerThreads / floorSpeed, in 64 bits and clamped to 32), never less than
// minTimeout. A workerThreads or floorSpeed below 1 counts as 1.
std::int32_t ChunkRequestTimeout(std::uint64_t chunkLength, std::int32_t workerThreads,
                                 std::int32_t floorSpeed, std::int32_t minTimeout);

}  // namespace halcyne
