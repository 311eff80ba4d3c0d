// Composite works: the inner nodes of a work tree. A composite runs no task; it queues the children that
// are due into the workflow, listens to their completions and completes when their results say so:
// SequentialWork (one child after the other), ParallelWork (all at once), WindowedParallelWork (all of
// them, made as they are due, a bounded number at a time), ConditionalWork (a condition, then one of two
// branches) and DeferredWork (a placeholder whose child is supplied while the tree runs).
//
// Threads: completions of different children arrive on different work-manager threads; OnWorkComplete and
// the bookkeeping run under the composite's recursive lock, which is released before the composite reports
// its own completion. Lock order: a parent composite's lock, then a child composite's lock, then the
// workflow's lock. QueueAvailableWork takes no composite lock (it reads only the children, fixed once the
// tree is built), because the workflow calls it on the root while holding its own lock (Start).
// Children are added, and the workflow set, while the tree is built, except for the deferred work's child.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "work/Work.hpp"

namespace halcyne {

class CompositeWork : public Work,
                      public WorkCompleteCallback,
                      public std::enable_shared_from_this<CompositeWork> {
public:
    // What a child's completion means for its composite.
    struct ChildProgress {
        ChildProgress() = default;
        // Complete unless the result is Interrupted or RetryableError.
        explicit ChildProgress(const WorkStatus& status);
        ChildProgress(bool complete, WorkStatus status) : complete(complete), status(std::move(status)) {}

        bool complete = false;
        WorkStatus status{WorkResult::Error};
    };

    CompositeWork();
    explicit CompositeWork(WorkCompleteCallback* callback);
    ~CompositeWork() override;

    bool ShouldRetry() override;  // false
    // Back to incomplete with the placeholder status. Subclasses also reset their children.
    void Reset() override;
    std::shared_ptr<Work> SharedFromThis() override;
    std::shared_ptr<const Work> SharedFromThis() const override;
    // Keeps the workflow for queueing children later, then attaches it like any work.
    void SetWorkflow(std::shared_ptr<Workflow> workflow) override;

    // Makes this composite the child's last completion callback (replacing a previous parent) and, when
    // this composite already has its workflow, gives the child that workflow.
    virtual void AttachChild(std::shared_ptr<Work> child);
    // Whether this child's completion is expected now (lock held).
    virtual bool IsChildActive(const std::shared_ptr<Work>& child) = 0;
    // What a final child result (Success or Failure) means; may queue the next child (lock held).
    virtual ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) = 0;
    // Reset, then queue the first due child at once (lock held).
    virtual void Restart();

    // Called by the children: the composite is the last completion callback of each of them.
    void OnWorkComplete(std::shared_ptr<Work> child, const WorkStatus& status) override;

    bool IsComplete() const;
    // The outcome once complete; a placeholder of Error before.
    WorkStatus GetStatus() const;

protected:
    // The workflow given by SetWorkflow, or null when there is none (or it is gone).
    std::shared_ptr<Workflow> LockedWorkflow() const;
    // The lock that guards complete, status and the subclass's child bookkeeping.
    std::recursive_mutex& Lock() const { return lock_; }

private:
    void UpdateFromChild(const std::shared_ptr<Work>& child, const WorkStatus& status);

    mutable std::recursive_mutex lock_;  // guards complete_, status_ and the subclasses' bookkeeping
    bool complete_ = false;
    WorkStatus status_{WorkResult::Error};
    std::weak_ptr<Workflow> workflow_;  // set while the tree is built
};

// Runs its children one after the other: moves on after Success, stops at the first Failure or Error.
class SequentialWork : public CompositeWork {
public:
    SequentialWork();
    explicit SequentialWork(WorkCompleteCallback* callback);

    void AddChild(std::shared_ptr<Work> child);

    void Reset() override;  // back to the first child; resets every child
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;  // the first child
    bool IsChildActive(const std::shared_ptr<Work>& child) override;
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;

protected:
    const std::vector<std::shared_ptr<Work>>& Children() const { return children_; }

private:
    std::vector<std::shared_ptr<Work>> children_;
    std::size_t index_ = 0;  // the current child; guarded by the composite's lock
};

// Runs all its children at once: Success when all succeeded; a child's Failure ends it at once as Error.
class ParallelWork : public CompositeWork {
public:
    ParallelWork();
    explicit ParallelWork(WorkCompleteCallback* callback);

    // Adding the same child twice has no effect.
    void AddChild(std::shared_ptr<Work> child);
    // Room for this many children, for sets whose size is known up front.
    void Reserve(std::size_t count);

    void Reset() override;  // clears every done flag; resets every child
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;  // every child, in order
    bool IsChildActive(const std::shared_ptr<Work>& child) override;
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;

private:
    std::vector<std::shared_ptr<Work>> order_;    // children in the order added
    std::unordered_map<const Work*, bool> done_;  // guarded by the composite's lock
    std::size_t completed_ = 0;                   // guarded by the composite's lock
};

// Runs `count` children like ParallelWork (Success when all succeeded; a child's Failure ends it at once as
// Error), but makes each child (MakeChild, in index order) only when it is about to be queued and lets go of
// it once it has completed, so that at most `window` children exist at once: the memory of a set of a
// million children follows the few that run, not the size of the set.
//
// Threads: the first children are made by QueueAvailableWork, later ones by Advance when a child completes
// (under the composite's lock), so MakeChild runs on whichever thread that is and must take no lock of the
// tree. The counters and the live children are guarded by a leaf mutex that is never held while a child is
// made, attached or queued; QueueAvailableWork takes no composite lock, as for the other composites.
class WindowedParallelWork : public CompositeWork {
public:
    // std::logic_error for a count of 0 (a set without children would never complete); a window of 0 is
    // taken as 1.
    WindowedParallelWork(WorkCompleteCallback* callback, std::size_t count, std::size_t window);

    // Lets go of every child; the next queueing starts again with the first.
    void Reset() override;
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;       // the live children
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;  // makes and queues the window
    bool IsChildActive(const std::shared_ptr<Work>& child) override;
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;

    std::size_t Count() const { return count_; }
    std::size_t Window() const { return window_; }
    // The children made and not yet completed.
    std::vector<std::shared_ptr<Work>> LiveChildren() const;

protected:
    // The child at `index` (< Count()), made once per run of the set.
    virtual std::shared_ptr<Work> MakeChild(std::size_t index) = 0;

private:
    // Makes child `index` (reserved by the caller), records it as live, then queues it.
    void StartChild(std::size_t index, const std::shared_ptr<Workflow>& workflow);

    const std::size_t count_;
    const std::size_t window_;
    mutable std::mutex stateLock_;  // a leaf: guards live_, next_ and completed_
    std::vector<std::shared_ptr<Work>> live_;
    std::size_t next_ = 0;       // the index of the next child to make
    std::size_t completed_ = 0;  // children that completed with Success
};

// Runs its condition, then onSuccess when the condition succeeded or onFailure when it failed, and ends
// with the branch's result.
class ConditionalWork : public CompositeWork {
public:
    ConditionalWork();
    explicit ConditionalWork(WorkCompleteCallback* callback);

    // Each slot is set once; a second call for a filled slot does nothing.
    void SetCondition(std::shared_ptr<Work> condition);
    void SetOnSuccess(std::shared_ptr<Work> onSuccess);
    void SetOnFailure(std::shared_ptr<Work> onFailure);

    void Reset() override;  // back to the condition; resets all three children
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;
    // Queues the condition; throws std::logic_error when any of the three children is missing.
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;
    bool IsChildActive(const std::shared_ptr<Work>& child) override;
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;

private:
    std::shared_ptr<Work> condition_;
    std::shared_ptr<Work> onSuccess_;
    std::shared_ptr<Work> onFailure_;
    std::shared_ptr<Work>
        current_;  // the child whose completion is expected; guarded by the composite's lock
};

// A placeholder whose single child is assigned while the tree runs (by a work placed before it in a
// sequence). Reaching it (queueing or resetting it) before any assignment seals it with a NoOpWork, so it
// completes with Success and refuses a later assignment.
class DeferredWork : public CompositeWork {
public:
    DeferredWork();
    explicit DeferredWork(WorkCompleteCallback* callback);

    // Assigns the child (a new NoOpWork when work is null) unless one is assigned already; true when
    // assigned now. The child is attached, and given the workflow, before the deferred work can queue it.
    bool Assign(std::shared_ptr<Work> work);

    void Describe(boost::property_tree::ptree& tree) const override;  // "name" = "DeferredWork"
    void Reset() override;  // seals an unassigned placeholder; resets the child
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;  // seals, then queues the child
    bool IsChildActive(const std::shared_ptr<Work>& child) override;
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;

private:
    std::shared_ptr<Work> Child() const;

    // Guards child_ alone. It is held while a newly assigned child is attached (which may take the
    // mutex of a deferred work inside the child's tree), never while any other lock is taken.
    mutable std::mutex childLock_;
    std::shared_ptr<Work> child_;
};

std::shared_ptr<SequentialWork> MakeSequentialWork(WorkCompleteCallback* callback = nullptr);
std::shared_ptr<ParallelWork> MakeParallelWork(WorkCompleteCallback* callback = nullptr);
std::shared_ptr<ConditionalWork> MakeConditionalWork(WorkCompleteCallback* callback = nullptr);
std::shared_ptr<DeferredWork> MakeDeferredWork(WorkCompleteCallback* callback = nullptr);

}  // namespace halcyne
