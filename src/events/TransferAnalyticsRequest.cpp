#include "events/TransferAnalyticsRequest.hpp"

#include "events/EventAnalyticsRequest.hpp"
#include "events/JsonText.hpp"

namespace halcyne {

TransferAnalyticsRequest::TransferAnalyticsRequest(const TransferParams& params, TransferState state,
                                                   std::uint64_t transferBytes, std::uint64_t durationMs)
    : partnerId_(params.partnerId),
      packageId_(params.packageId),
      versionId_(params.versionId),
      transferId_(params.transferId),
      state_(state),
      transferBytes_(transferBytes),
      durationMs_(durationMs) {}

void TransferAnalyticsRequest::Save(boost::property_tree::ptree& tree) const {
    tree.put("pid", partnerId_);
    tree.put("pkgid", packageId_);
    tree.put("vid", versionId_);
    tree.put("tid", transferId_);
    tree.put("status", std::string(StatusText(state_)));
    tree.put("transferBytes", FormatJsonInteger(transferBytes_));
    tree.put("duration", FormatJsonDouble(static_cast<double>(durationMs_) / 1000.0));
}

const char* TransferAnalyticsRequest::StatusText(TransferState state) {
    switch (state) {
        case TransferState::Suspended:
            return "suspended";
        case TransferState::Complete:
            return "completed";
        case TransferState::Cancelled:
            return "canceled";
        default:
            return "active";
    }
}

}  // namespace halcyne
