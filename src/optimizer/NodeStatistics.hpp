// How a node (or a host) has served chunk requests: counters, and for the optimizer a running estimate of
// the distribution of its request speed.
// Update is called by the chunk request works and the optimizer from any work-manager thread; Save and
// TakeDelta by reporters on any thread. Nothing is called back.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>

#include "manifest/Manifest.hpp"
#include "optimizer/DeltaCounter.hpp"

namespace halcyne {

class NodeStatistics : public OutputManifest {
public:
    NodeStatistics() = default;
    NodeStatistics(const NodeStatistics&) = delete;
    NodeStatistics& operator=(const NodeStatistics&) = delete;
    ~NodeStatistics() override = default;

    // "Requests", "Errors", "Bytes" and "Average Request Speed" (successful bytes per second of request
    // time), as decimal integers.
    void Save(boost::property_tree::ptree& tree) const override;
    // One finished request: `bytes` written in `timeMs` (0 counts as 1), failed or not.
    virtual void Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed);

    DeltaCounter<std::uint32_t> successes;
    DeltaCounter<std::uint32_t> errors;
    DeltaCounter<std::uint64_t> successBytes;
    DeltaCounter<std::uint64_t> totalBytes;
    // The sum of max(timeMs, 1) over all requests. 64 bits: 32 would wrap after 49.7 days of summed
    // request time, which many parallel requests reach within days.
    DeltaCounter<std::uint64_t> totalTimeMs;
};

// The sample of one request: 0 when it failed, else bytes per second over max(timeMs, 1).
double RequestSpeed(std::uint64_t bytes, std::uint32_t timeMs, bool failed);

// A double as an unsigned 64-bit integer, fraction dropped: 0 for negative values and NaN, the largest
// value for anything beyond it.
std::uint64_t ClampToUint64(double value);

// Running mean and variance of the request speed (Welford). A failure adds count / 10 + 1 samples of 0, so
// that it weighs more the longer the history.
class NormalNodeStatistics : public NodeStatistics {
public:
    NormalNodeStatistics() = default;

    // The base keys, then "Average Request Speed" again as the distribution's mean and "Standard Deviation".
    void Save(boost::property_tree::ptree& tree) const override;
    void Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed) override;
    // (mean, variance) in bytes per second; the variance is 1.0 until there are two samples.
    virtual std::pair<double, double> GetDistribution() const;
    // The number of speed samples.
    std::uint32_t GetCount() const;

protected:
    NormalNodeStatistics(std::uint32_t count, double mean, double m2);

    mutable std::mutex mutex_;  // guards count_, mean_ and m2_, and serialises whole updates
    std::uint32_t count_ = 0;
    double mean_ = 0.0;
    double m2_ = 0.0;  // the exponential statistics keep their variance here
};

// Exponentially weighted mean and variance of the request speed, with smoothing factor alpha: recent
// requests count most. One sample per request, 0 for a failure.
class ExponentialNormalNodeStatistics : public NormalNodeStatistics {
public:
    ExponentialNormalNodeStatistics(std::uint32_t count, double mean, double variance, double alpha);

    void Update(const std::uint64_t& bytes, std::uint32_t timeMs, bool failed) override;
    std::pair<double, double> GetDistribution() const override;
    double GetAlpha() const { return alpha_; }

private:
    const double alpha_;
};

}  // namespace halcyne
