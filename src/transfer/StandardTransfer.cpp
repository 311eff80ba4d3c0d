#include "transfer/StandardTransfer.hpp"

#include <vector>

#include <boost/filesystem.hpp>
#include <boost/property_tree/ptree.hpp>

#include "common/NoValueMarker.hpp"
#include "common/Paths.hpp"
#include "events/JsonText.hpp"
#include "events/TransferEvent.hpp"
#include "file/SharedFileFactory.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/PackageManifest.hpp"
#include "optimizer/TransferOptimizer.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "transfer/TransferChangeSignal.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

StandardTransfer::StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                                   TransferWorkflowFactory* workflowFactory, MillisecondClock clock)
    : workflowFactory_(workflowFactory), clock_(std::move(clock)) {
    Lock lock(lock_);
    CreateData(params, behavior);
    CreateWorkflow();
    if (params.suspended) {
        data_->progress->SetState(TransferState::Suspended);
    }
}

// Public operations: take the lock, run the internal operation, which may have released it.

TransferStatus StandardTransfer::Initialize() {
    Lock lock(lock_);
    return Initialize(lock);
}

TransferStatus StandardTransfer::Start(const std::string& destination) {
    Lock lock(lock_);
    return Start(lock, destination);
}

TransferStatus StandardTransfer::Cancel(bool deleteFiles) {
    Lock lock(lock_);
    return Cancel(lock, deleteFiles);
}

TransferStatus StandardTransfer::Pause() {
    Lock lock(lock_);
    return Pause(lock);
}

TransferStatus StandardTransfer::Resume() {
    Lock lock(lock_);
    return Resume(lock);
}

TransferStatus StandardTransfer::Retry() {
    Lock lock(lock_);
    return Retry(lock);
}

TransferStatus StandardTransfer::Suspend() {
    Lock lock(lock_);
    return Suspend(lock);
}

TransferStatus StandardTransfer::Restore() {
    Lock lock(lock_);
    return Restore(lock);
}

bool StandardTransfer::HasEnoughSpace(const std::string& folder) {
    Lock lock(lock_);
    if (State() != TransferState::Initialized || !data_->package) {
        return false;
    }
    std::uint64_t existing = 0;
    for (const auto& file : data_->package->GetFiles()) {
        boost::system::error_code error;
        const auto size = boost::filesystem::file_size(JoinPath(folder, file->GetPath()), error);
        if (!error) {
            existing += size;
        }
    }
    const std::uint64_t total = Snapshot(lock).totalBytes;
    boost::system::error_code error;
    const auto space = boost::filesystem::space(folder, error);
    const std::uint64_t available = error ? 0 : space.available;
    return available + existing >= total;
}

TransferStatus StandardTransfer::GetStatus() {
    Lock lock(lock_);
    const std::uint64_t untaken = data_->progress->PeekTransferTimeDelta();
    const int seconds = data_->behavior.settings.periodicEventSeconds;
    const std::uint64_t interval = seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000u : 0u;
    if (untaken > interval) {
        TransferPeriodicEvent event(workInterface_, *data_->progress);
        return FireEvent(lock, event, false);
    }
    return Snapshot(lock);
}

std::shared_ptr<TransferWorkInterface> StandardTransfer::GetWorkInterface() {
    Lock lock(lock_);
    return workInterface_;
}

std::string StandardTransfer::GetNodeReport() {
    Lock lock(lock_);
    const auto nodeList = data_->nodeList;
    TransferOptimizer* optimizer = data_->behavior.optimizer;
    lock.unlock();
    if (!nodeList || nodeList->GetNodes().empty()) {
        return "[]";
    }
    // The optimizer's statistics are looked up under its mutex (the lookup may add to its map while chunk
    // requests choose nodes), all at once and with the transfer's lock released; each is saved afterwards
    // under its own lock only.
    std::vector<std::shared_ptr<NodeStatistics>> statistics;
    statistics.reserve(nodeList->GetNodes().size());
    const auto lookUp = [&] {
        for (const auto& node : nodeList->GetNodes()) {
            statistics.push_back(optimizer != nullptr ? optimizer->GetStatistics(node)
                                                      : node->GetStatistics());
        }
    };
    if (optimizer != nullptr) {
        optimizer->WithLock(lookUp);
    } else {
        lookUp();
    }
    boost::property_tree::ptree tree;
    for (std::size_t i = 0; i < nodeList->GetNodes().size(); ++i) {
        const auto withStatistics = nodeList->GetNodes()[i]->WithStatistics(statistics[i]);
        auto& child = tree.push_back({"", boost::property_tree::ptree()})->second;
        withStatistics->Save(child);
    }
    return WriteJsonText(tree);
}

// Helpers.

TransferStatus StandardTransfer::Snapshot(Lock&) {
    TransferStatus status;
    data_->progress->Snapshot(status);
    return status;
}

TransferStatus StandardTransfer::FireEvent(Lock& lock, TransferEvent& event, bool changed) {
    TransferStatus status = Snapshot(lock);
    TransferChangeSignal* const signal = changed ? data_->behavior.changeSignal : nullptr;
    const std::uint64_t turn = eventTurnsTaken_++;
    lock.unlock();
    // A change made on another thread just after this one (a workflow completing as soon as it is started)
    // must not reach the log and the analytics first.
    {
        std::unique_lock<std::mutex> order(eventOrderMutex_);
        eventTurn_.wait(order, [&] { return eventTurnsFired_ == turn; });
    }
    event.Fire();
    {
        const std::lock_guard<std::mutex> order(eventOrderMutex_);
        ++eventTurnsFired_;
    }
    eventTurn_.notify_all();
    if (signal != nullptr) {
        signal->Notify();
    }
    return status;
}

void StandardTransfer::SetFinalState(TransferState state) {
    data_->progress->SetState(state);
    if (workflow_) {
        workflow_->Pause();
        workflow_.reset();
    }
}

void StandardTransfer::SetError(TransferError error, const std::string& cause) {
    data_->progress->SetError(error);
    data_->progress->SetErrorCause(cause);
    data_->progress->SetRetrying(false);
    if (workflow_) {
        workflow_->Pause();
        workflow_.reset();
    }
}

void StandardTransfer::Fail(Lock& lock, const std::string& message, TransferError kind) {
    data_->progress->SetError(kind);
    data_->progress->SetErrorCause(message);
    data_->progress->SetRetrying(false);
    const auto data = std::make_shared<TransferErrorData>(kind, message);
    TransferFatalErrorEvent event(workInterface_, *data_->progress, data);
    const auto workflow = std::move(workflow_);
    workflow_.reset();
    TransferChangeSignal* const signal = data_->behavior.changeSignal;
    lock.unlock();
    if (workflow) {
        workflow->Cancel(WorkStatus(WorkResult::Error, data));
    }
    try {
        event.SendAnalytics();
    } catch (...) {
    }
    try {
        event.WriteLog();
    } catch (...) {
    }
    if (signal != nullptr) {
        signal->Notify();
    }
}

void StandardTransfer::CreateData(const TransferParams& params, const TransferBehavior& behavior) {
    if (workInterface_) {
        workInterface_->Detach();
    }
    data_ = std::make_shared<StandardTransferData>(params, behavior, clock_);
    workInterface_ = std::make_shared<StandardTransferWorkInterface>(this, data_);
}

void StandardTransfer::CreateWorkflow() {
    if (workflow_) {
        return;
    }
    workflow_ = workflowFactory_->Create(workInterface_);
    workflow_->AddRetryableErrorCallback(workInterface_->GetRetryableErrorCallback());
}

bool StandardTransfer::IsValidDestination(const std::string& destination) const {
    const std::string& current = data_->params.destPath;
    const bool currentGiven = current != NoValueMarker;
    const bool destinationGiven = destination != NoValueMarker;
    if (!currentGiven && !destinationGiven) {
        return false;
    }
    return !(currentGiven && destinationGiven && current != destination);
}

bool StandardTransfer::IsProgressComplete(Lock& lock) {
    const TransferStatus status = Snapshot(lock);
    if (!data_->package || status.error != TransferError::None ||
        (status.state != TransferState::Transferring && status.state != TransferState::Paused)) {
        return false;
    }
    const std::uint64_t total = data_->package->GetTotalSize();
    return status.progressBytes == total && status.verifiedBytes == total && status.totalBytes == total;
}

void StandardTransfer::DeleteFiles() {
    // A transfer never started into a folder has no files there; a name is never resolved against "?".
    if (data_->params.destPath != NoValueMarker) {
        for (const auto& name : data_->createdFiles) {
            data_->behavior.sharedFileFactory->Delete(data_->params.destPath, name);
        }
    }
    data_->createdFiles.clear();
}

bool StandardTransfer::IsEnded() const {
    const TransferState state = State();
    return state == TransferState::Absent || state == TransferState::Suspended ||
           state == TransferState::Complete || state == TransferState::Cancelled;
}

bool StandardTransfer::IsFatal() const {
    return data_->progress->GetError() != TransferError::None && !data_->progress->IsRetrying();
}

// Internal operations.

TransferStatus StandardTransfer::Initialize(Lock& lock) {
    if (State() == TransferState::Initializing && data_->progress->GetError() == TransferError::None &&
        workflow_ && workflow_->Start()) {
        TransferInitializeEvent event(workInterface_);
        return FireEvent(lock, event);
    }
    return Snapshot(lock);
}

TransferStatus StandardTransfer::Start(Lock& lock, const std::string& destination) {
    if (!IsValidDestination(destination) || State() != TransferState::Initialized ||
        data_->progress->GetError() != TransferError::None || !workflow_) {
        return Snapshot(lock);
    }
    if (data_->params.destPath == NoValueMarker) {
        data_->params.destPath = destination;
    }
    data_->progress->SetState(TransferState::Transferring);
    workflow_->Resume();
    TransferStartEvent event(workInterface_);
    return FireEvent(lock, event);
}

TransferStatus StandardTransfer::Cancel(Lock& lock, bool deleteFiles) {
    const bool cleanlySuspended =
        State() == TransferState::Suspended && data_->progress->GetError() == TransferError::None;
    if (deleteFiles && !cleanlySuspended) {
        data_->deleteFiles = true;
        DeleteFiles();
    }
    if (!IsActive()) {
        return Snapshot(lock);
    }
    SetFinalState(TransferState::Cancelled);
    TransferCancelEvent event(workInterface_, *data_->progress);
    return FireEvent(lock, event);
}

TransferStatus StandardTransfer::Pause(Lock& lock) {
    const TransferState state = State();
    if ((state == TransferState::Initializing || state == TransferState::Transferring) && workflow_ &&
        workflow_->Pause()) {
        data_->progress->SetState(state == TransferState::Initializing ? TransferState::InitializingPaused
                                                                       : TransferState::Paused);
        TransferPauseEvent event(workInterface_);
        return FireEvent(lock, event);
    }
    return Snapshot(lock);
}

TransferStatus StandardTransfer::Resume(Lock& lock) {
    const TransferState state = State();
    if ((state == TransferState::InitializingPaused || state == TransferState::Paused) && workflow_ &&
        workflow_->Resume()) {
        data_->progress->SetState(state == TransferState::InitializingPaused ? TransferState::Initializing
                                                                             : TransferState::Transferring);
        TransferResumeEvent event(workInterface_);
        return FireEvent(lock, event);
    }
    return Snapshot(lock);
}

TransferStatus StandardTransfer::Retry(Lock& lock) {
    if (data_->progress->GetError() != TransferError::None && data_->progress->IsRetrying() && workflow_ &&
        workflow_->Retry()) {
        data_->progress->SetError(TransferError::None);
        data_->progress->SetErrorCause({});
        data_->progress->SetRetrying(false);
        TransferRetryEvent event(workInterface_);
        return FireEvent(lock, event);
    }
    return Snapshot(lock);
}

TransferStatus StandardTransfer::Suspend(Lock& lock) {
    const TransferState state = State();
    const bool beforeDestination = state == TransferState::Initializing ||
                                   state == TransferState::InitializingPaused ||
                                   state == TransferState::Initialized;
    if (!data_->params.suspended && beforeDestination) {
        return Cancel(lock, false);
    }
    const bool erred = data_->progress->GetError() != TransferError::None;
    if (state == TransferState::Absent || state == TransferState::Suspended ||
        state == TransferState::Cancelled || (state == TransferState::Complete && erred) || IsFatal()) {
        return Snapshot(lock);
    }
    const auto oldInterface = workInterface_;
    const auto oldData = data_;
    CreateData(oldData->params, oldData->behavior);
    data_->params.suspended = true;
    SetFinalState(TransferState::Suspended);
    if (state == TransferState::Complete) {
        return Snapshot(lock);
    }
    TransferSuspendEvent event(oldInterface, *oldData->progress);
    return FireEvent(lock, event);
}

TransferStatus StandardTransfer::Restore(Lock& lock) {
    if (State() != TransferState::Suspended || data_->progress->GetError() != TransferError::None) {
        return Snapshot(lock);
    }
    CreateWorkflow();
    workflow_->Start();
    data_->progress->SetState(TransferState::Initializing);
    TransferRestoreEvent event(workInterface_);
    return FireEvent(lock, event);
}

// Callbacks from the work interface.

void StandardTransfer::OnWorkComplete(Lock& lock, std::shared_ptr<Work>, const WorkStatus& status) {
    if (!IsActive()) {
        return;
    }
    switch (status.result) {
        case WorkResult::Success:
            if (IsProgressComplete(lock)) {
                SetFinalState(TransferState::Complete);
                TransferCompleteEvent event(workInterface_, *data_->progress);
                FireEvent(lock, event);
            } else {
                Fail(lock, "Transfer::OnWorkComplete called with Success result but progress is not complete",
                     TransferError::InternalError);
            }
            return;
        case WorkResult::Interrupted:
        case WorkResult::RetryableError:
            return;
        case WorkResult::Failure:
        case WorkResult::Error:
            break;
    }
    const auto data = std::dynamic_pointer_cast<const TransferStatusData>(status.data);
    if (!data) {
        Fail(lock, "Transfer::OnWorkComplete called with error result but data is not TransferStatusData",
             TransferError::InternalError);
        return;
    }
    const TransferError error = data->ToTransferError();
    if (error == TransferError::None) {
        Fail(lock, "Transfer::OnWorkComplete called with error result but data->ToTransferError() is None",
             TransferError::InternalError);
        return;
    }
    SetError(error, data->Cause());
    TransferFatalErrorEvent event(workInterface_, *data_->progress, data);
    FireEvent(lock, event);
}

namespace {
bool IsInitializing(TransferState state) {
    return state == TransferState::Initializing || state == TransferState::InitializingPaused;
}
}  // namespace

void StandardTransfer::OnPackageAcquire(Lock& lock, std::shared_ptr<Work>, const WorkStatus& status) {
    if (!IsActive() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing(State())) {
        Fail(lock, "Transfer::OnPackageAcquire called but transfer is not initializing",
             TransferError::InternalError);
        return;
    }
    const auto data = std::dynamic_pointer_cast<const PackageStatusData>(status.data);
    if (!data || !data->package) {
        Fail(lock, "Transfer::OnPackageAcquire called but data is not PackageStatusData or package is null",
             TransferError::InternalError);
        return;
    }
    if (data->package->GetPartnerId() != data_->params.partnerId ||
        data->package->GetId() != data_->params.packageId) {
        Fail(lock, "Transfer::OnPackageAcquire called but package does not match ids",
             TransferError::ManifestError);
        return;
    }
    data_->package = std::const_pointer_cast<PackageManifest>(data->package);
    data_->params.versionId = data->package->GetVersionId();
}

void StandardTransfer::OnNodeListAcquire(Lock& lock, std::shared_ptr<Work>, const WorkStatus& status) {
    if (!IsActive() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing(State())) {
        Fail(lock, "Transfer::OnNodeListAcquire called but transfer is not initializing",
             TransferError::InternalError);
        return;
    }
    const auto data = std::dynamic_pointer_cast<const NodeListStatusData>(status.data);
    if (!data || !data->nodeList) {
        Fail(lock,
             "Transfer::OnNodeListAcquire called but data is not NodeListStatusData or nodelist is null",
             TransferError::InternalError);
        return;
    }
    data_->nodeList = std::const_pointer_cast<NodeListManifest>(data->nodeList);
}

void StandardTransfer::OnInitialize(Lock& lock, std::shared_ptr<Work>, const WorkStatus& status) {
    if (!IsActive() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing(State())) {
        Fail(lock, "Transfer::OnInitialize called but transfer is not initializing",
             TransferError::InternalError);
        return;
    }
    if (!data_->package) {
        Fail(lock, "Transfer::OnInitialize called but package is missing", TransferError::InternalError);
        return;
    }
    if (!data_->nodeList) {
        Fail(lock, "Transfer::OnInitialize called but nodelist is missing", TransferError::InternalError);
        return;
    }
    data_->progress->SetState(TransferState::Initialized);
    data_->progress->SetPackage(data_->package);
    if (workflow_) {
        workflow_->Pause();
    }
    TransferInitializeCompleteEvent event(workInterface_);
    FireEvent(lock, event);
}

void StandardTransfer::OnWorkflowRetryableError(Lock& lock, std::shared_ptr<Workflow> workflow,
                                                std::shared_ptr<Work>, const WorkStatus& status) {
    if (IsEnded() || data_->progress->GetError() != TransferError::None) {
        return;
    }
    if (workflow != workflow_) {
        Fail(lock, "Transfer::OnWorkflowRetryableError called on wrong workflow",
             TransferError::InternalError);
        return;
    }
    if (status.result != WorkResult::RetryableError || status.retry) {
        Fail(lock, "Transfer::OnWorkflowRetryableError called with incorrect status",
             TransferError::InternalError);
        return;
    }
    const auto data = std::dynamic_pointer_cast<const TransferStatusData>(status.data);
    if (!data) {
        Fail(lock, "Transfer::OnWorkflowRetryableError called with invalid data",
             TransferError::InternalError);
        return;
    }
    const TransferError error = data->ToTransferError();
    if (error == TransferError::None) {
        Fail(lock, "Transfer::OnWorkflowRetryableError called with TransferError::None",
             TransferError::InternalError);
        return;
    }
    data_->progress->SetError(error);
    data_->progress->SetErrorCause(data->Cause());
    data_->progress->SetRetrying(true);
    TransferRetryableErrorEvent event(workInterface_, *data_->progress, data);
    FireEvent(lock, event);
}

void StandardTransfer::OnFileCreated(Lock&, const std::string& name) {
    if (data_->deleteFiles) {
        if (data_->params.destPath != NoValueMarker) {
            data_->behavior.sharedFileFactory->Delete(data_->params.destPath, name);
        }
        return;
    }
    data_->createdFiles.insert(name);
}

void StandardTransfer::OnRunFileVerified(Lock&, const FileIdentity& identity) {
    data_->progress->SetRunFile(identity);
}

}  // namespace halcyne
