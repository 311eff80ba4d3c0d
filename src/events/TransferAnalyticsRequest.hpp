// The request of the transfer analytics stream: one transfer's state, and the bytes and time it moved since
// the previous report. Built and saved on the thread that fires a transfer event; a plain value afterwards.
#pragma once

#include <cstdint>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "common/TransferParams.hpp"
#include "manifest/Manifest.hpp"
#include "transfer/TransferState.hpp"

namespace halcyne {

class TransferAnalyticsRequest : public OutputManifest {
public:
    TransferAnalyticsRequest(const TransferParams& params, TransferState state, std::uint64_t transferBytes,
                             std::uint64_t durationMs);

    // "pid", "pkgid", "vid", "tid", "status", "transferBytes", "duration" (seconds), in that order.
    void Save(boost::property_tree::ptree& tree) const override;

    std::uint64_t TransferBytes() const { return transferBytes_; }
    std::uint64_t DurationMs() const { return durationMs_; }

    // "suspended", "completed" or "canceled" for the three end states, "active" for every other.
    static const char* StatusText(TransferState state);

private:
    std::string partnerId_;
    std::string packageId_;
    std::string versionId_;
    std::string transferId_;
    TransferState state_;
    std::uint64_t transferBytes_;
    std::uint64_t durationMs_;
};

}  // namespace halcyne
