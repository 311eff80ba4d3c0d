// What the works of a transfer see of it: its parameters, the shared behaviour, its manifests, its progress
// updater and the callbacks that reach the transfer. Implemented by the transfer side; the works hold it by
// shared pointer and call it from any work-manager thread at once. The callbacks it hands out call back into
// the transfer, which takes its own lock.
#pragma once

#include <memory>
#include <string>

#include "common/TransferParams.hpp"
#include "pipeline/TransferBehavior.hpp"

namespace halcyne {

class ExcludedNodes;
struct FileIdentity;
class PackageManifest;
class NodeListManifest;
class TransferProgressUpdater;
class WorkCompleteCallback;
class WorkflowRetryableErrorCallback;

class TransferWorkInterface {
public:
    TransferWorkInterface() = default;
    TransferWorkInterface(const TransferWorkInterface&) = delete;
    TransferWorkInterface& operator=(const TransferWorkInterface&) = delete;
    virtual ~TransferWorkInterface() = default;

    // A copy of the transfer's parameters, taken under the transfer's lock.
    virtual TransferParams GetParams() = 0;
    virtual const TransferParams& Params() = 0;
    virtual const TransferBehavior& Behavior() = 0;
    virtual std::shared_ptr<PackageManifest> GetPackage() = 0;
    virtual std::shared_ptr<NodeListManifest> GetNodeList() = 0;
    virtual std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() = 0;
    // The nodes this transfer asks for no more chunks; the same object for every work of the transfer.
    virtual std::shared_ptr<ExcludedNodes> GetExcludedNodes() = 0;
    // Reaches the transfer's OnWorkComplete; given to the root work.
    virtual WorkCompleteCallback* GetTransferCallback() = 0;
    // Reaches OnPackageAcquire; given to the package manifest work.
    virtual WorkCompleteCallback* GetPackageCallback() = 0;
    // Reaches OnNodeListAcquire; given to the node list work.
    virtual WorkCompleteCallback* GetNodeListCallback() = 0;
    // Reaches OnInitialize; given to the initializing work.
    virtual WorkCompleteCallback* GetInitializeCallback() = 0;
    // Reaches OnWorkflowRetryableError.
    virtual WorkflowRetryableErrorCallback* GetRetryableErrorCallback() = 0;
    // Tells the transfer that a destination file was created.
    virtual void OnFileCreated(const std::string& name) = 0;
    // Tells the transfer which file its package's run file is, as it was verified and made executable, so
    // that its status can carry it once the transfer is complete.
    virtual void OnRunFileVerified(const FileIdentity& identity) = 0;
};

}  // namespace halcyne
