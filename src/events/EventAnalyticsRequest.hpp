// The requests of the event analytics stream: what happened to a transfer (a counter), an error, and how a
// content node performed. Each writes itself into a property tree, which the JSON text form turns into the
// posted body. Built and saved on the thread that fires a transfer event; plain values afterwards.
#pragma once

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "common/TransferParams.hpp"
#include "manifest/Manifest.hpp"

namespace halcyne {

// "pid", "pkgid", "vid", then the "metrics" and "dimensions" objects that the concrete request writes.
class EventAnalyticsRequest : public OutputManifest {
public:
    void Save(boost::property_tree::ptree& tree) const override;
    virtual void SaveMetrics(boost::property_tree::ptree& metrics) const = 0;
    virtual void SaveDimensions(boost::property_tree::ptree& dimensions) const = 0;

    const std::string& PartnerId() const { return partnerId_; }
    const std::string& PackageId() const { return packageId_; }
    const std::string& VersionId() const { return versionId_; }

protected:
    explicit EventAnalyticsRequest(const TransferParams& params);

private:
    std::string partnerId_;
    std::string packageId_;
    std::string versionId_;
};

// One count of something that happened: metrics {counterName: "1"}, dimensions {}.
class SimpleEventAnalyticsRequest : public EventAnalyticsRequest {
public:
    SimpleEventAnalyticsRequest(const TransferParams& params, std::string counterName);
    void SaveMetrics(boost::property_tree::ptree& metrics) const override;
    void SaveDimensions(boost::property_tree::ptree& dimensions) const override;

    const std::string& CounterName() const { return counterName_; }

private:
    std::string counterName_;
};

// A counted error: dimensions {"error": text}, or {} when the text is empty.
class ErrorAnalyticsRequest : public SimpleEventAnalyticsRequest {
public:
    ErrorAnalyticsRequest(const TransferParams& params, std::string counterName, std::string errorText);
    void SaveDimensions(boost::property_tree::ptree& dimensions) const override;

private:
    std::string errorText_;
};

// A content node's share since the previous report: metrics {"bytes", "requestTime" in seconds},
// dimensions {"cdn": host}.
class OptimizerAnalyticsRequest : public EventAnalyticsRequest {
public:
    OptimizerAnalyticsRequest(const TransferParams& params, std::uint64_t bytes, std::uint64_t requestTimeMs,
                              std::string contentNode);
    void SaveMetrics(boost::property_tree::ptree& metrics) const override;
    void SaveDimensions(boost::property_tree::ptree& dimensions) const override;

private:
    std::uint64_t bytes_;
    std::uint64_t requestTimeMs_;
    std::string contentNode_;
};

// An unsigned integer in decimal, independent of any locale the process has set.
std::string FormatJsonInteger(std::uint64_t value);

}  // namespace halcyne
