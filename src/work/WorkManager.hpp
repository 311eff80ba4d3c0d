// Work managers run simple works on a pool of threads. Any thread may call Execute; it only queues the work
// and returns. The work's run loop, its completion callbacks and, for a workflow's work, the workflow's
// OnTaskComplete (or Cancel, when something throws) all run later on one pool thread.
#pragma once

#include <memory>

namespace halcyne {

class SimpleWork;
class Workflow;

class WorkManager {
public:
    WorkManager() = default;
    WorkManager(const WorkManager&) = delete;
    WorkManager& operator=(const WorkManager&) = delete;
    virtual ~WorkManager() = default;

    // Runs a work that belongs to no workflow.
    virtual void Execute(std::shared_ptr<SimpleWork> work) = 0;
    // Runs a work on behalf of a workflow.
    virtual void Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) = 0;
};

// What a pool thread does with one work of Execute(work): Run, then NotifyComplete. An exception from a
// completion callback is caught and dropped, so it never leaves the pool thread.
void RunStandaloneWork(SimpleWork& work) noexcept;

// What a pool thread does with one work of Execute(workflow, work): Run, NotifyComplete, then
// workflow.OnTaskComplete. If any of them throws, the workflow is cancelled with Error and the exception's
// data instead, and OnTaskComplete is not called; an exception from that cancellation is dropped.
void RunWorkflowWork(Workflow& workflow, SimpleWork& work) noexcept;

}  // namespace halcyne
