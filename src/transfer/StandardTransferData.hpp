// One generation of a transfer's run: its params, behaviour, progress object, manifests and the files it
// created. Shared by the transfer, its work interface and the works of its tree. params, the file list and
// deleteFiles are read and written under the transfer's lock; package and node list are set once under it
// and then only read; the progress object guards itself.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "common/TransferParams.hpp"
#include "optimizer/ExcludedNodes.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "transfer/TransferStatusImpl.hpp"

namespace halcyne {

class NodeListManifest;
class PackageManifest;

struct StandardTransferData {
    // The progress object reads these params, so the record is never copied or moved.
    StandardTransferData(const TransferParams& params, const TransferBehavior& behavior,
                         MillisecondClock clock = {});
    StandardTransferData(const StandardTransferData&) = delete;
    StandardTransferData& operator=(const StandardTransferData&) = delete;

    TransferParams params;
    const TransferBehavior behavior;
    const std::shared_ptr<TransferStatusImpl> progress;
    std::shared_ptr<PackageManifest> package;
    std::shared_ptr<NodeListManifest> nodeList;
    // The nodes that sent forged chunks; guards itself.
    const std::shared_ptr<ExcludedNodes> excludedNodes = std::make_shared<ExcludedNodes>();
    bool deleteFiles = false;                      // files reported from now on are deleted at once
    std::unordered_set<std::string> createdFiles;  // destination files created so far
};

}  // namespace halcyne
