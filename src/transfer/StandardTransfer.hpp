// The transfer state machine. Public operations come from the callers' threads; the callbacks come from
// work-manager threads through the work interface, which takes this transfer's lock first.
//
// Lock order: this transfer's lock before its workflow's lock and before the progress counters' locks. The
// lock is released before an event is fired and before Fail cancels the workflow: firing and cancelling run
// analytics and completion callbacks, and the cancellation comes back here through OnWorkComplete, which
// takes the lock afresh and finds the transfer fatal.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/TransferError.hpp"
#include "common/TransferParams.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "transfer/StandardTransferData.hpp"
#include "transfer/StandardTransferWorkInterface.hpp"
#include "transfer/Transfer.hpp"
#include "transfer/TransferWorkflowFactory.hpp"

namespace halcyne {

class TransferEvent;
class Workflow;

class StandardTransfer : public Transfer {
public:
    using Lock = std::unique_lock<std::recursive_mutex>;

    // The factory is not owned and must outlive the transfer. An empty clock is the monotonic clock; every
    // data generation's progress object reads it.
    StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                     TransferWorkflowFactory* workflowFactory, MillisecondClock clock = {});
    ~StandardTransfer() override = default;

    TransferStatus Initialize() override;
    TransferStatus Start(const std::string& destination) override;
    bool HasEnoughSpace(const std::string& folder) override;
    TransferStatus GetStatus() override;
    TransferStatus Cancel(bool deleteFiles) override;
    TransferStatus Pause() override;
    TransferStatus Resume() override;
    TransferStatus Retry() override;
    TransferStatus Suspend() override;
    TransferStatus Restore() override;
    std::shared_ptr<TransferWorkInterface> GetWorkInterface() override;
    std::string GetNodeReport() override;

protected:
    friend class StandardTransferWorkInterface;

    // The internal operations: called with `lock` held on lock_; they may release it (to fire an event).
    virtual TransferStatus Initialize(Lock& lock);
    virtual TransferStatus Start(Lock& lock, const std::string& destination);
    virtual TransferStatus Snapshot(Lock& lock);
    virtual TransferStatus Cancel(Lock& lock, bool deleteFiles);
    virtual TransferStatus Pause(Lock& lock);
    virtual TransferStatus Resume(Lock& lock);
    virtual TransferStatus Retry(Lock& lock);
    virtual TransferStatus Suspend(Lock& lock);
    virtual TransferStatus Restore(Lock& lock);
    virtual void OnWorkComplete(Lock& lock, std::shared_ptr<Work> work, const WorkStatus& status);
    virtual void OnPackageAcquire(Lock& lock, std::shared_ptr<Work> work, const WorkStatus& status);
    virtual void OnNodeListAcquire(Lock& lock, std::shared_ptr<Work> work, const WorkStatus& status);
    virtual void OnInitialize(Lock& lock, std::shared_ptr<Work> work, const WorkStatus& status);
    virtual void OnWorkflowRetryableError(Lock& lock, std::shared_ptr<Workflow> workflow,
                                          std::shared_ptr<Work> work, const WorkStatus& status);
    virtual void OnFileCreated(Lock& lock, const std::string& name);
    virtual void OnRunFileVerified(Lock& lock, const FileIdentity& identity);

    // Helpers, all with the lock held.
    // Releases the lock, fires the event and then, when the event is of a change (`changed`), tells the
    // engine's change signal. Events are fired in the order their changes were made under the lock, whatever
    // thread fires them: each takes a turn under the lock and waits for the events before it (an event's
    // firing never calls back into this transfer, so the wait ends).
    TransferStatus FireEvent(Lock& lock, TransferEvent& event, bool changed = true);
    void SetFinalState(TransferState state);
    // The error and its cause in a few words (TransferStatusData::Cause).
    void SetError(TransferError error, const std::string& cause);
    void Fail(Lock& lock, const std::string& message, TransferError kind);
    void CreateData(const TransferParams& params, const TransferBehavior& behavior);
    void CreateWorkflow();
    bool IsValidDestination(const std::string& destination) const;
    bool IsProgressComplete(Lock& lock);
    void DeleteFiles();
    bool IsEnded() const;
    bool IsFatal() const;
    bool IsActive() const { return !IsEnded() && !IsFatal(); }
    TransferState State() const { return data_->progress->GetState(); }

    // Recursive: internal operations call each other (Suspend calls Cancel) with the lock held. Guards
    // every field below and the data's state, error, retrying flag, params, manifests and file list.
    std::recursive_mutex lock_;
    TransferWorkflowFactory* const workflowFactory_;
    const MillisecondClock clock_;
    std::shared_ptr<StandardTransferData> data_;
    std::shared_ptr<StandardTransferWorkInterface> workInterface_;
    std::shared_ptr<Workflow> workflow_;  // empty once the transfer has ended or failed
    std::uint64_t eventTurnsTaken_ = 0;

    // The turn of the next event to fire; events wait on eventTurn_ for theirs.
    std::mutex eventOrderMutex_;
    std::condition_variable eventTurn_;
    std::uint64_t eventTurnsFired_ = 0;  // guarded by eventOrderMutex_
};

}  // namespace halcyne
