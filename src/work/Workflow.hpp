// The workflow as works see it: it owns the root of a tree, is the first completion callback of every work
// of the tree, queues ready simple works and hands them to a work manager. Its implementation is
// StandardWorkflow.
#pragma once

#include <cstdint>
#include <memory>

#include "work/Work.hpp"

namespace halcyne {

class Workflow;

// The states a workflow reports through GetState.
enum class WorkflowState : std::uint8_t {
    NotStarted = 0,          // built, root not yet queued
    Running = 1,             // ready works are dispatched
    Paused = 2,              // nothing is dispatched; running works were interrupted
    WaitingRetry = 3,        // a retryable error was reported; nothing is dispatched until Retry
    PausedWaitingRetry = 4,  // both of the above
    Finished = 5,            // the root completed, or some work failed with Error
    Cancelled = 6,           // cancelled from outside
};

class WorkflowRetryableErrorCallback {
public:
    virtual ~WorkflowRetryableErrorCallback() = default;
    virtual void OnWorkflowRetryableError(std::shared_ptr<Workflow> workflow, std::shared_ptr<Work> work,
                                          const WorkStatus& status) = 0;
};

class Workflow : public WorkCompleteCallback {
public:
    ~Workflow() override = default;
    void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) override = 0;
    virtual bool Start() = 0;
    virtual bool Pause() = 0;
    virtual bool Resume() = 0;
    virtual bool Retry() = 0;
    virtual std::uint8_t GetState() = 0;
    virtual bool IsStarted() = 0;
    virtual bool IsPaused() = 0;
    virtual bool IsWaitingRetry() = 0;
    virtual bool IsFinished() = 0;
    virtual bool Cancel(const WorkStatus& status) = 0;
    virtual void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) = 0;
    // The one workflow operation a simple work calls: resets the work and puts it in the ready queue.
    virtual void QueueWork(std::shared_ptr<Work> work) = 0;
    virtual void OnTaskComplete(std::shared_ptr<Work> work, const WorkStatus& status) = 0;
};

}  // namespace halcyne
