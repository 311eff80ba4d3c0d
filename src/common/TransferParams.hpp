// The parameters of one transfer: which package of which partner, and where it goes.
// A plain record copied by value into every work that needs it; copies are read on any thread.
#pragma once

#include <string>

#include "common/NoValueMarker.hpp"
#include "work/WorkStatus.hpp"

namespace halcyne {

struct TransferParams : public WorkDescriptor {
    TransferParams() = default;
    TransferParams(const TransferParams&) = default;
    TransferParams& operator=(const TransferParams&) = default;
    TransferParams(TransferParams&&) = default;
    TransferParams& operator=(TransferParams&&) = default;
    ~TransferParams() override = default;

    // "transferId", "partnerId", "packageId", "versionId" and "destPath", in this order (the suspension
    // flag is not written). Events, work log entries and the stored transfer manifest use this form.
    void Describe(boost::property_tree::ptree& tree) const override;

    std::string transferId{NoValueMarker};
    std::string partnerId{NoValueMarker};
    std::string packageId{NoValueMarker};
    std::string versionId{NoValueMarker};  // "?" asks for the current version
    std::string destPath{NoValueMarker};   // "?" until the transfer is started into a folder
    bool suspended = false;                // set on a suspended transfer's fresh data; never written out
};

}  // namespace halcyne
