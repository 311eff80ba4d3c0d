#include "optimizer/TransferOptimizer.hpp"

#include <algorithm>
#include <limits>

#include "http/HttpRequestStatus.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/OptimizedRequestParams.hpp"

namespace halcyne {

namespace {

std::uint64_t ChunkLength(const OptimizedRequestParams& params) {
    return params.ChunkData ? params.ChunkData->Length() : 0;
}

std::int32_t AtLeastOne(std::int32_t value) {
    return std::max<std::int32_t>(value, 1);
}

// A speed floor under a download-rate limit: at most half the limit, so that each of the worker threads'
// requests, which share the limit evenly, stays above its part of the floor.
std::int32_t UnderLimit(std::int32_t floor, std::uint64_t limit) {
    if (limit == 0) {
        return floor;
    }
    return static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(AtLeastOne(floor)),
                                                             std::max<std::uint64_t>(limit / 2, 1)));
}

}  // namespace

std::int32_t ChunkRequestTimeout(std::uint64_t chunkLength, std::int32_t workerThreads,
                                 std::int32_t floorSpeed, std::int32_t minTimeout) {
    const auto threads = static_cast<std::uint64_t>(AtLeastOne(workerThreads));
    const auto speed = static_cast<std::uint64_t>(AtLeastOne(floorSpeed));
    constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t product = chunkLength > max64 / threads ? max64 : chunkLength * threads;
    const std::uint64_t seconds =
        std::min<std::uint64_t>(product / speed, std::numeric_limits<std::int32_t>::max());
    return std::max(static_cast<std::int32_t>(seconds), minTimeout);
}

TransferOptimizer::TransferOptimizer(const EngineSettings& settings)
    : settings_(settings),
      currentConnectTimeout_(settings.minConnectTimeout),
      currentLowSpeedTime_(settings.minLowSpeedTime) {}

TransferOptimizer::~TransferOptimizer() = default;

void TransferOptimizer::ReportResult(OptimizedRequestParams& params,
                                     std::shared_ptr<HttpTransferStatusData> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!params.probeRequest && data) {
        if (data->status.result == HttpRequestResult::Success) {
            currentConnectTimeout_ = std::max(currentConnectTimeout_ - 1, settings_.minConnectTimeout);
            currentLowSpeedTime_ = std::max(currentLowSpeedTime_ - 1, settings_.minLowSpeedTime);
        } else if (data->status.result == HttpRequestResult::TimedOut) {
            // Doubled in 64 bits: the maxima bound the result, whatever they are set to.
            currentConnectTimeout_ = static_cast<std::int32_t>(std::min<std::int64_t>(
                std::int64_t{currentConnectTimeout_} * 2, settings_.maxConnectTimeout));
            currentLowSpeedTime_ = static_cast<std::int32_t>(
                std::min<std::int64_t>(std::int64_t{currentLowSpeedTime_} * 2, settings_.maxLowSpeedTime));
        }
    }
    UpdateStatistics(params, std::move(data));
}

std::shared_ptr<NodeStatistics> TransferOptimizer::GetStatistics(std::shared_ptr<NodeManifest> node) {
    return node->GetStatistics();
}

std::int32_t TransferOptimizer::CurrentConnectTimeout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentConnectTimeout_;
}

std::int32_t TransferOptimizer::CurrentLowSpeedTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentLowSpeedTime_;
}

void TransferOptimizer::SelectNormal(OptimizedRequestParams& params,
                                     std::shared_ptr<NodeManifest> node) const {
    params.SelectedNode = std::move(node);
    params.noRetryCharge = false;
    params.probeRequest = false;
    params.adaptiveTimeouts = currentConnectTimeout_ < settings_.maxConnectTimeout ||
                              currentLowSpeedTime_ < settings_.maxLowSpeedTime;
    params.connectTimeout = currentConnectTimeout_;
    params.lowSpeedTime = currentLowSpeedTime_;
    const std::int32_t floor = UnderLimit(settings_.minSpeed, settings_.maxDownloadRate);
    params.timeout =
        ChunkRequestTimeout(ChunkLength(params), settings_.workerThreads, floor, settings_.minRequestTimeout);
    params.lowSpeedLimit = AtLeastOne(floor) / AtLeastOne(settings_.workerThreads);
}

void TransferOptimizer::SelectProbe(OptimizedRequestParams& params,
                                    std::shared_ptr<NodeManifest> node) const {
    params.SelectedNode = std::move(node);
    params.noRetryCharge = true;
    params.adaptiveTimeouts = false;
    params.probeRequest = true;
    params.connectTimeout = settings_.probeConnectTimeout;
    const std::int32_t floor = UnderLimit(settings_.probeMinSpeed, settings_.maxDownloadRate);
    params.timeout = ChunkRequestTimeout(ChunkLength(params), settings_.workerThreads, floor,
                                         settings_.probeMinRequestTimeout);
    params.lowSpeedLimit = AtLeastOne(floor) / AtLeastOne(settings_.workerThreads);
    params.lowSpeedTime = settings_.probeLowSpeedTime;
}

}  // namespace halcyne
