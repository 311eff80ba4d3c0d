// Works: the nodes of a work tree. Simple works (leaves) run one task on a work-manager thread; composite
// works (inner nodes) start their children and combine their results; a workflow owns the root and
// dispatches the ready simple works to a work manager.
//
// Threads: the callback lists are filled while a tree is built and attached, before any of its works is
// queued, and only read afterwards, so they carry no lock. Completion callbacks run on the thread that
// completes the work (a work-manager thread) and must be safe to call from any thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "work/WorkStatus.hpp"

namespace halcyne {

class Work;
class Workflow;

class WorkCompleteCallback {
public:
    virtual ~WorkCompleteCallback() = default;
    virtual void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) = 0;
};

// Works are owned by shared pointers and hand out shared pointers to themselves: create them only through
// factory functions that return std::shared_ptr.
class Work : public WorkDescriptor {
public:
    Work();
    explicit Work(WorkCompleteCallback* callback);
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    ~Work() override;

    // A work registered with the work log is described later on a log thread, possibly while it runs
    // again (see WorkLogManager): describe only what is safe to read alongside the work's own task.
    void Describe(boost::property_tree::ptree& tree) const override;
    // The retry policy: asked once after each RetryableError; true both permits and counts a retry.
    virtual bool ShouldRetry();
    // Returns the work to its state before it ran; called every time the work is queued.
    virtual void Reset() = 0;
    // Describe(tree), then the status as child "workStatus": the work log's form of a completion.
    virtual void DescribeCompletion(const WorkStatus& status, boost::property_tree::ptree& tree) const;
    // Whether Describe gives "important" = true, when the work knows it without describing itself; empty
    // (the default) when only the description tells. Lets the work log drop an entry of a refused level
    // without building the description. Any thread, also while the work runs: a constant of the class.
    virtual std::optional<bool> KnownImportance() const { return std::nullopt; }
    virtual std::shared_ptr<Work> SharedFromThis() = 0;
    virtual std::shared_ptr<const Work> SharedFromThis() const = 0;
    // Puts the workflow first in the callback list (replacing a previous workflow), then OnSetWorkflow.
    virtual void SetWorkflow(std::shared_ptr<Workflow> workflow);
    virtual void OnSetWorkflow(std::shared_ptr<Workflow> workflow) = 0;
    // Puts whatever of this work can run now into the workflow's ready queue.
    virtual void QueueAvailableWork(std::shared_ptr<Workflow> workflow) = 0;

    // Inserts an observer between the workflow's entry (first) and the parent's entry (last).
    // A null callback is ignored.
    void AddWorkCompleteCallback(WorkCompleteCallback* callback);
    // Makes `parent` the last entry, replacing a previous parent. Called by a composite adopting this work.
    void AttachParent(WorkCompleteCallback* parent);
    bool IsWorkflowAttached() const { return workflowAttached_; }
    bool IsParentAttached() const { return parentAttached_; }
    // Calls every completion callback, front to back, on the calling thread. Exceptions are not caught.
    void NotifyComplete(const WorkStatus& status);

private:
    // Workflow first, parent last. A vector: the list holds a handful of entries, and a work tree may hold
    // hundreds of thousands of works, so a compact container matters more than cheap front insertion.
    std::vector<WorkCompleteCallback*> callbacks_;
    bool workflowAttached_ = false;
    bool parentAttached_ = false;
};

}  // namespace halcyne
