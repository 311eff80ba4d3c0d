// The workflow that runs one work tree: it queues the ready simple works of the tree, sends at most
// maxRunning of them at a time to its work manager (newest first), watches every completion in the tree,
// and can be paused, resumed, held while a retryable error waits for Retry, and cancelled.
//
// Threads: the owner (a transfer) calls Start, Pause, Resume, Retry and Cancel from any thread, possibly
// holding its own lock; the works of the tree call QueueWork, OnWorkComplete and OnTaskComplete on
// work-manager threads, often while holding a composite's lock. Lock order: a composite's lock, then this
// workflow's lock; the owner's lock before this lock. This lock is never held while the retryable-error
// callbacks run or while a cancellation is reported to the root's callbacks, so those may call back in.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "work/SimpleWork.hpp"
#include "work/WorkManager.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

class StandardWorkflow : public Workflow, public std::enable_shared_from_this<StandardWorkflow> {
public:
    // Made only through a shared pointer (MakeStandardWorkflow). A maxRunning of 0 is taken as 1, since a
    // workflow that may run nothing would never finish.
    StandardWorkflow(std::shared_ptr<Work> root, WorkManager* workManager, unsigned maxRunning);
    StandardWorkflow(const StandardWorkflow&) = delete;
    StandardWorkflow& operator=(const StandardWorkflow&) = delete;
    ~StandardWorkflow() override;

    void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) override;
    bool Start() override;
    bool Pause() override;
    bool Resume() override;
    bool Retry() override;
    std::uint8_t GetState() override;
    bool IsStarted() override;
    bool IsPaused() override;
    bool IsWaitingRetry() override;
    bool IsFinished() override;
    bool Cancel(const WorkStatus& status) override;
    void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) override;
    // Resets the work and puts it in the ready queue, unless the workflow has finished. Only simple works
    // are queued (composites queue their children): anything else throws std::logic_error. A work queued
    // while its previous run is still being reported is held back until that report (OnTaskComplete), so
    // that no work ever runs twice at the same time; a work already waiting in the queue stays queued once.
    void QueueWork(std::shared_ptr<Work> work) override;
    void OnTaskComplete(std::shared_ptr<Work> work, const WorkStatus& status) override;

    const std::shared_ptr<Work>& Root() const { return root_; }
    unsigned MaxRunning() const { return maxRunning_; }

private:
    // Where a work of this workflow is; works that are neither queued nor running are not recorded.
    enum class Place : std::uint8_t { Ready, Running, RunningQueuedAgain };

    bool IsFinishedLocked() const;
    void Dispatch();          // lock held
    void InterruptRunning();  // lock held
    void DropReady();         // lock held; once finished, nothing queued will ever be sent
    void Enqueue(std::shared_ptr<SimpleWork> work);  // lock held

    const std::shared_ptr<Work> root_;
    WorkManager* const workManager_;
    const unsigned maxRunning_;

    // Recursive: works queue their next works from inside completions that this workflow is reporting.
    // Guards every field below.
    std::recursive_mutex lock_;
    WorkflowState state_ = WorkflowState::NotStarted;
    std::vector<std::shared_ptr<SimpleWork>> ready_;  // a stack: the most recently queued work is sent first
    std::vector<std::shared_ptr<SimpleWork>> running_;  // sent and not yet reported; at most maxRunning_
    std::unordered_map<const Work*, Place> places_;     // every work in ready_ or running_
    std::vector<WorkflowRetryableErrorCallback*> retryableErrorCallbacks_;
};

std::shared_ptr<StandardWorkflow> MakeStandardWorkflow(std::shared_ptr<Work> root, WorkManager* workManager,
                                                       unsigned maxRunning);

}  // namespace halcyne
