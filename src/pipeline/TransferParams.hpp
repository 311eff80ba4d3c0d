// The parameters of one transfer: which package of which partner, and where it goes.
// A plain record copied by value into every work that needs it; copies are read on any thread.
#pragma once

#include <string>

#include "common/NoValueMarker.hpp"

namespace halcyne {

struct TransferParams {
    std::string transferId{NoValueMarker};
    std::string partnerId{NoValueMarker};
    std::string packageId{NoValueMarker};
    std::string versionId{NoValueMarker};  // "?" asks for the current version
    std::string destPath{NoValueMarker};   // "?" until the transfer is started into a folder
    bool suspended = false;
};

}  // namespace halcyne
