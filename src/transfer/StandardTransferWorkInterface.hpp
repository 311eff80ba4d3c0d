// What the works of one transfer generation see of it. The works call it from any work-manager thread; each
// forward takes the transfer's lock (outside any workflow lock) and calls the transfer's callback with it,
// unless the interface has been detached, after which the works of the abandoned tree change nothing.
#pragma once

#include <functional>
#include <memory>

#include "pipeline/TransferWorkInterface.hpp"
#include "transfer/StandardTransferData.hpp"
#include "work/Work.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

class StandardTransfer;

class StandardTransferWorkInterface : public TransferWorkInterface, public WorkflowRetryableErrorCallback {
public:
    // A completion callback that calls a function; an empty function throws std::bad_function_call.
    class InternalCallback : public WorkCompleteCallback {
    public:
        using Function = std::function<void(std::shared_ptr<Work>, const WorkStatus&)>;
        explicit InternalCallback(Function function) : function_(std::move(function)) {}
        void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) override {
            function_(std::move(work), status);
        }

    private:
        const Function function_;
    };

    // The transfer is not owned and must outlive every forward made while attached.
    StandardTransferWorkInterface(StandardTransfer* transfer, std::shared_ptr<StandardTransferData> data);

    // Under the transfer's lock: no forward reaches the transfer any more.
    void Detach();

    TransferParams GetParams() override;
    const TransferParams& Params() override { return data_->params; }
    const TransferBehavior& Behavior() override { return data_->behavior; }
    std::shared_ptr<PackageManifest> GetPackage() override { return data_->package; }
    std::shared_ptr<NodeListManifest> GetNodeList() override { return data_->nodeList; }
    std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() override { return data_->progress; }
    std::shared_ptr<ExcludedNodes> GetExcludedNodes() override { return data_->excludedNodes; }
    WorkCompleteCallback* GetTransferCallback() override { return &transferCallback_; }
    WorkCompleteCallback* GetPackageCallback() override { return &packageCallback_; }
    WorkCompleteCallback* GetNodeListCallback() override { return &nodeListCallback_; }
    WorkCompleteCallback* GetInitializeCallback() override { return &initializeCallback_; }
    WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return this; }
    void OnFileCreated(const std::string& name) override;
    void OnRunFileVerified(const FileIdentity& identity) override;
    void OnWorkflowRetryableError(std::shared_ptr<Workflow> workflow, std::shared_ptr<Work> work,
                                  const WorkStatus& status) override;

    const std::shared_ptr<StandardTransferData>& Data() const { return data_; }

private:
    StandardTransfer* const transfer_;
    const std::shared_ptr<StandardTransferData> data_;
    bool attached_ = true;  // guarded by the transfer's lock
    InternalCallback transferCallback_;
    InternalCallback packageCallback_;
    InternalCallback nodeListCallback_;
    InternalCallback initializeCallback_;
};

}  // namespace halcyne
