#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <stdexcept>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/random/discrete_distribution.hpp>
#include <boost/random/normal_distribution.hpp>
#include <boost/random/uniform_int_distribution.hpp>

#include "http/HttpRequestStatus.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/OptimizedRequestParams.hpp"

namespace halcyne {

namespace {

// A request failed when its result is BadUrl or anything after it.
bool IsFailure(HttpRequestResult result) {
    return static_cast<int>(result) >= static_cast<int>(HttpRequestResult::BadUrl);
}

// One candidate's speed distribution for a gamble. A standard deviation of 0 (or none, when rounding
// left the variance below 0) draws the mean: the distribution then has a single value.
class SpeedDistribution {
public:
    explicit SpeedDistribution(std::pair<double, double> meanAndVariance)
        : mean_(meanAndVariance.first),
          deviation_(meanAndVariance.second > 0.0 ? std::sqrt(meanAndVariance.second) : 0.0),
          normal_(mean_, deviation_ > 0.0 && std::isfinite(deviation_) ? deviation_ : 1.0) {}

    template <typename Engine>
    double Draw(Engine& engine) {
        if (!(deviation_ > 0.0) || !std::isfinite(deviation_)) {
            return mean_;
        }
        return normal_(engine);
    }

private:
    double mean_;
    double deviation_;
    boost::random::normal_distribution<double> normal_;
};

}  // namespace

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(const EngineSettings& settings)
    : ProportionalGamblingTransferOptimizer(settings, static_cast<std::uint32_t>(std::time(nullptr))) {}

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(const EngineSettings& settings,
                                                                             std::uint32_t seed)
    : TransferOptimizer(settings), engine_(seed), prototype_(0, 0.0, 0.0, settings.statisticsAlpha) {
    statisticsByHost_.rehash(11);
    statisticsByHost_.max_load_factor(1.0f);
}

std::uint32_t ProportionalGamblingTransferOptimizer::Trials(std::uint32_t maxDraws,
                                                            std::uint32_t trialsPerNode,
                                                            std::size_t candidates) {
    if (candidates == 0) {
        return 0;
    }
    const std::uint64_t byBudget = maxDraws / candidates;
    const std::uint64_t byNode = std::uint64_t{trialsPerNode} * candidates;
    return static_cast<std::uint32_t>(std::min(byBudget, byNode));
}

void ProportionalGamblingTransferOptimizer::GetNode(OptimizedRequestParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    const NodeManifestList& candidates = params.candidates;
    if (candidates.empty()) {
        throw std::invalid_argument("TransferOptimizer::GetNode received empty nodelist");
    }
    if (candidates.size() == 1) {
        SelectNormal(params, candidates.front());
        return;
    }
    std::vector<StatisticsPointer> statistics;
    statistics.reserve(candidates.size());
    for (const auto& node : candidates) {
        statistics.push_back(StatisticsFor(*node));
    }
    std::vector<std::size_t> untested;
    for (std::size_t i = 0; i < statistics.size(); ++i) {
        if (statistics[i]->GetCount() <= 1) {
            untested.push_back(i);
        }
    }
    if (!untested.empty()) {
        boost::random::uniform_int_distribution<std::size_t> pick(0, untested.size() - 1);
        SelectProbe(params, candidates[untested[pick(engine_)]]);
        return;
    }
    SelectNormal(params, candidates[Gamble(statistics)]);
}

std::size_t ProportionalGamblingTransferOptimizer::Gamble(const std::vector<StatisticsPointer>& statistics) {
    const std::size_t n = statistics.size();
    const auto nonNegative = [](int value) { return static_cast<std::uint32_t>(std::max(value, 0)); };
    const std::uint32_t trials =
        Trials(nonNegative(settings_.optimizerMaxDraws), nonNegative(settings_.optimizerTrialsPerNode), n);
    std::vector<SpeedDistribution> distributions;
    distributions.reserve(n);
    for (const auto& candidate : statistics) {
        distributions.emplace_back(candidate->GetDistribution());
    }
    wins_.assign(n, 1);
    for (std::uint32_t trial = 0; trial < trials; ++trial) {
        double best = 0.0;
        std::size_t bestIndex = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = distributions[i].Draw(engine_);
            if (x > best) {
                best = x;
                bestIndex = i;
            }
        }
        ++wins_[bestIndex];
    }
    std::vector<double> weights(n);
    for (std::size_t i = 0; i < n; ++i) {
        weights[i] = wins_[i] / (trials + 1.0);
    }
    boost::random::discrete_distribution<std::size_t, double> choose(weights.begin(), weights.end());
    return choose(engine_);
}

std::shared_ptr<NodeStatistics> ProportionalGamblingTransferOptimizer::GetStatistics(
    std::shared_ptr<NodeManifest> node) {
    return StatisticsFor(*node);
}

ProportionalGamblingTransferOptimizer::StatisticsPointer ProportionalGamblingTransferOptimizer::StatisticsFor(
    const NodeManifest& node) {
    const std::string host = boost::algorithm::to_lower_copy(node.GetHost());
    auto found = statisticsByHost_.find(host);
    if (found == statisticsByHost_.end()) {
        const auto [mean, variance] = prototype_.GetDistribution();
        auto created = std::make_shared<ExponentialNormalNodeStatistics>(prototype_.GetCount(), mean,
                                                                         variance, prototype_.GetAlpha());
        found = statisticsByHost_.emplace(host, std::move(created)).first;
    }
    return std::static_pointer_cast<NormalNodeStatistics>(found->second);
}

void ProportionalGamblingTransferOptimizer::UpdateStatistics(OptimizedRequestParams& params,
                                                             std::shared_ptr<HttpTransferStatusData> data) {
    if (!params.SelectedNode || !data) {
        return;
    }
    // A negative duration (a clock that stepped) counts as 0, not as 49 days.
    const auto timeMs = static_cast<std::uint32_t>(std::max<std::int32_t>(data->requestTimeMs, 0));
    GetStatistics(params.SelectedNode)
        ->Update(data->status.bytesWritten, timeMs, IsFailure(data->status.result));
}

}  // namespace halcyne
