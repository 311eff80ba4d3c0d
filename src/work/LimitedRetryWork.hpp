// Works with a bounded retry budget. A LimitedRetrySimpleWork runs its task again at once after a
// RetryableError while its budget lasts (on the work-manager thread that runs it); a
// LimitedRetrySequentialWork runs all its children again from the first when one of them fails (under
// the composite's lock). The budget is counted in ShouldRetry and restored by Reset.
#pragma once

#include <cstdint>

#include "work/CompositeWork.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

class LimitedRetrySimpleWork : public SimpleWork {
public:
    LimitedRetrySimpleWork(WorkCompleteCallback* callback, std::uint32_t maxRetries);

    // True, counting one retry, while fewer than maxRetries retries were used.
    bool ShouldRetry() override;
    // Clears the interrupted flag and restores the whole budget (every time the workflow queues it).
    void Reset() override;

    std::uint32_t MaxRetries() const { return maxRetries_; }
    std::uint32_t Retries() const { return retries_; }

private:
    const std::uint32_t maxRetries_;
    std::uint32_t retries_ = 0;  // used from the current budget; touched only by the thread running the work
};

class LimitedRetrySequentialWork : public SequentialWork {
public:
    LimitedRetrySequentialWork(WorkCompleteCallback* callback, std::uint32_t maxRetries);

    bool ShouldRetry() override;
    // Restores the whole budget, then resets the sequence. Only the parent's reset gets here.
    void Reset() override;
    // A child's Failure becomes the sequence's own RetryableError (incomplete, with the child's data).
    ChildProgress Advance(std::shared_ptr<Work> child, const WorkStatus& status) override;
    // Resets the sequence but not the budget, then queues the first child again.
    void Restart() override;

    std::uint32_t MaxRetries() const { return maxRetries_; }
    std::uint32_t Retries() const;

private:
    const std::uint32_t maxRetries_;
    std::uint32_t retries_ = 0;  // guarded by the composite's lock
};

}  // namespace halcyne
