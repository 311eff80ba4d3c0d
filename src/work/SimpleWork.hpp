// Simple works: the leaves of a work tree. A simple work runs its task on a work-manager thread, retrying it
// at once while its policy allows; the workflow never hands the same work over twice at the same time.
// `interrupted` is set by whichever thread interrupts the workflow and read by the running thread.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "work/Work.hpp"

namespace halcyne {

class SimpleWork;

class SimpleWorkRetryCallback {
public:
    virtual ~SimpleWorkRetryCallback() = default;
    virtual void OnSimpleWorkRetry(std::shared_ptr<SimpleWork> work, const WorkStatus& status) = 0;
};

class SimpleWork : public Work, public std::enable_shared_from_this<SimpleWork> {
public:
    SimpleWork();
    explicit SimpleWork(WorkCompleteCallback* callback);
    ~SimpleWork() override;

    void Reset() override;  // clears the interrupted flag
    std::shared_ptr<Work> SharedFromThis() override;
    std::shared_ptr<const Work> SharedFromThis() const override;
    void OnSetWorkflow(std::shared_ptr<Workflow> workflow) override;
    // Queues this work in the workflow; throws std::logic_error when there is no workflow.
    void QueueAvailableWork(std::shared_ptr<Workflow> workflow) override;

    // The work's own job, run on a work-manager thread.
    virtual WorkStatus ExecuteTask() = 0;
    // Called by the workflow after it has set the interrupted flag, so that a long task can stop early.
    virtual void Interrupt() = 0;

    // The run loop: returns Interrupted when the flag is set before an attempt, retries RetryableError at
    // once while ShouldRetry allows, and turns an escaping exception into Error with WorkExceptionData.
    // Called by the work manager, never by a work itself.
    WorkStatus Run();
    // Sets the flag that the run loop reads before each attempt (the workflow then calls Interrupt).
    void SetInterrupted() { interrupted_.store(true); }
    bool IsInterrupted() const { return interrupted_.load(); }

    void AddRetryCallback(SimpleWorkRetryCallback* callback);  // null is ignored
    void NotifyRetry(const WorkStatus& status);

private:
    std::atomic<bool> interrupted_{false};
    std::vector<SimpleWorkRetryCallback*> retryCallbacks_;
};

// A work that does nothing and succeeds.
class NoOpWork : public SimpleWork {
public:
    NoOpWork();
    explicit NoOpWork(WorkCompleteCallback* callback);
    void Describe(boost::property_tree::ptree& tree) const override;
    std::optional<bool> KnownImportance() const override { return false; }
    WorkStatus ExecuteTask() override;
    void Interrupt() override;
};

std::shared_ptr<NoOpWork> MakeNoOpWork();
std::shared_ptr<NoOpWork> MakeNoOpWork(WorkCompleteCallback* callback);

}  // namespace halcyne
