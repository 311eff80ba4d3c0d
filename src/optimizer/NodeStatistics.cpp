#include "optimizer/NodeStatistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace halcyne {

double RequestSpeed(std::uint64_t bytes, std::uint32_t timeMs, bool failed) {
    if (failed) {
        return 0.0;
    }
    return static_cast<double>(bytes) * 1000.0 / std::max<std::uint32_t>(timeMs, 1);
}

std::uint64_t ClampToUint64(double value) {
    if (!(value > 0.0)) {
        return 0;
    }
    // 2^64 is exactly representable; every double below it converts without overflow.
    if (value >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(value);
}

void NodeStatistics::Save(boost::property_tree::ptree& tree) const {
    const std::uint64_t requests = static_cast<std::uint64_t>(successes.Get()) + errors.Get();
    const std::uint64_t time = totalTimeMs.Get();
    const std::uint64_t average =
        time == 0
            ? 0
            : ClampToUint64(static_cast<double>(successBytes.Get()) / (static_cast<double>(time) / 1000.0));
    tree.put("Requests", std::to_string(requests));
    tree.put("Errors", std::to_string(errors.Get()));
    tree.put("Bytes", std::to_string(totalBytes.Get()));
    tree.put("Average Request Speed", std::to_string(average));
}

void NodeStatistics::Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed) {
    totalBytes.Add(bytes);
    totalTimeMs.Add(std::max<std::uint32_t>(timeMs, 1));
    if (failed) {
        errors.Add(1);
    } else {
        successes.Add(1);
        successBytes.Add(bytes);
    }
}

NormalNodeStatistics::NormalNodeStatistics(std::uint32_t count, double mean, double m2)
    : count_(count), mean_(mean), m2_(m2) {}

void NormalNodeStatistics::Save(boost::property_tree::ptree& tree) const {
    NodeStatistics::Save(tree);
    const auto [mean, variance] = GetDistribution();
    tree.put("Average Request Speed", std::to_string(ClampToUint64(mean)));
    tree.put("Standard Deviation", std::to_string(ClampToUint64(std::sqrt(variance))));
}

void NormalNodeStatistics::Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeStatistics::Update(bytes, timeMs, failed);
    if (!failed) {
        const double x = RequestSpeed(bytes, timeMs, false);
        count_ = count_ == std::numeric_limits<std::uint32_t>::max() ? count_ : count_ + 1;
        const double delta = x - mean_;
        mean_ += delta / count_;
        m2_ += (x - mean_) * delta;
        return;
    }
    // k zero samples at once: the result of adding them one by one, without a loop whose length grows
    // with the history (k is a tenth of the count, and the count grows by a tenth with every failure).
    const std::uint32_t room = std::numeric_limits<std::uint32_t>::max() - count_;
    const std::uint32_t k = std::min(count_ / 10 + 1, room);
    if (k == 0) {
        return;
    }
    const double n = count_;
    const double total = n + k;
    m2_ += mean_ * mean_ * n * k / total;
    mean_ = mean_ * n / total;
    count_ += k;
}

std::pair<double, double> NormalNodeStatistics::GetDistribution() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 1) {
        return {mean_, m2_ / (count_ - 1)};
    }
    return {mean_, 1.0};
}

std::uint32_t NormalNodeStatistics::GetCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

ExponentialNormalNodeStatistics::ExponentialNormalNodeStatistics(std::uint32_t count, double mean,
                                                                 double variance, double alpha)
    : NormalNodeStatistics(count, mean, variance), alpha_(alpha) {}

void ExponentialNormalNodeStatistics::Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeStatistics::Update(bytes, timeMs, failed);
    const double x = RequestSpeed(bytes, timeMs, failed);
    count_ = count_ == std::numeric_limits<std::uint32_t>::max() ? count_ : count_ + 1;
    const double oldMean = mean_;
    mean_ = (1.0 - alpha_) * oldMean + alpha_ * x;
    m2_ = (x - mean_) * (alpha_ * (x - oldMean)) + m2_ * (1.0 - alpha_);
}

std::pair<double, double> ExponentialNormalNodeStatistics::GetDistribution() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {mean_, m2_};
}

}  // namespace halcyne
