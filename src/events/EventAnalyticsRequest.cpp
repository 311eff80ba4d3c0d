#include "events/EventAnalyticsRequest.hpp"

#include <charconv>

#include "events/JsonText.hpp"

namespace halcyne {

using boost::property_tree::ptree;

namespace {

// Adds `key` = `value` as a new child. Unlike put, the key is never read as a path, so a counter name or
// any other key may contain dots.
void AddValue(ptree& tree, const std::string& key, const std::string& value) {
    tree.push_back(ptree::value_type(key, ptree(value)));
}

}  // namespace

std::string FormatJsonInteger(std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

EventAnalyticsRequest::EventAnalyticsRequest(const TransferParams& params)
    : partnerId_(params.partnerId), packageId_(params.packageId), versionId_(params.versionId) {}

void EventAnalyticsRequest::Save(ptree& tree) const {
    tree.put("pid", partnerId_);
    tree.put("pkgid", packageId_);
    tree.put("vid", versionId_);
    ptree metrics;
    SaveMetrics(metrics);
    tree.add_child("metrics", metrics);
    ptree dimensions;
    SaveDimensions(dimensions);
    tree.add_child("dimensions", dimensions);
}

SimpleEventAnalyticsRequest::SimpleEventAnalyticsRequest(const TransferParams& params,
                                                         std::string counterName)
    : EventAnalyticsRequest(params), counterName_(std::move(counterName)) {}

void SimpleEventAnalyticsRequest::SaveMetrics(ptree& metrics) const {
    AddValue(metrics, counterName_, "1");
}

void SimpleEventAnalyticsRequest::SaveDimensions(ptree& dimensions) const {
    dimensions.data() = JsonEmptyObjectMarker;
}

ErrorAnalyticsRequest::ErrorAnalyticsRequest(const TransferParams& params, std::string counterName,
                                             std::string errorText)
    : SimpleEventAnalyticsRequest(params, std::move(counterName)), errorText_(std::move(errorText)) {}

void ErrorAnalyticsRequest::SaveDimensions(ptree& dimensions) const {
    if (errorText_.empty()) {
        dimensions.data() = JsonEmptyObjectMarker;
    } else {
        AddValue(dimensions, "error", errorText_);
    }
}

OptimizerAnalyticsRequest::OptimizerAnalyticsRequest(const TransferParams& params, std::uint64_t bytes,
                                                     std::uint64_t requestTimeMs, std::string contentNode)
    : EventAnalyticsRequest(params),
      bytes_(bytes),
      requestTimeMs_(requestTimeMs),
      contentNode_(std::move(contentNode)) {}

void OptimizerAnalyticsRequest::SaveMetrics(ptree& metrics) const {
    AddValue(metrics, "bytes", FormatJsonInteger(bytes_));
    AddValue(metrics, "requestTime", FormatJsonDouble(static_cast<double>(requestTimeMs_) / 1000.0));
}

void OptimizerAnalyticsRequest::SaveDimensions(ptree& dimensions) const {
    AddValue(dimensions, "cdn", contentNode_);
}

}  // namespace halcyne
