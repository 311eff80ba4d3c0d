#include "work/LimitedRetryWork.hpp"

#include "work/Workflow.hpp"

namespace halcyne {

LimitedRetrySimpleWork::LimitedRetrySimpleWork(WorkCompleteCallback* callback, std::uint32_t maxRetries)
    : SimpleWork(callback), maxRetries_(maxRetries) {}

bool LimitedRetrySimpleWork::ShouldRetry() {
    if (retries_ >= maxRetries_) {
        return false;
    }
    ++retries_;
    return true;
}

void LimitedRetrySimpleWork::Reset() {
    SimpleWork::Reset();
    retries_ = 0;
}

LimitedRetrySequentialWork::LimitedRetrySequentialWork(WorkCompleteCallback* callback,
                                                       std::uint32_t maxRetries)
    : SequentialWork(callback), maxRetries_(maxRetries) {}

bool LimitedRetrySequentialWork::ShouldRetry() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    if (retries_ >= maxRetries_) {
        return false;
    }
    ++retries_;
    return true;
}

void LimitedRetrySequentialWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    retries_ = 0;
    SequentialWork::Reset();
}

CompositeWork::ChildProgress LimitedRetrySequentialWork::Advance(std::shared_ptr<Work> child,
                                                                 const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return ChildProgress(false, WorkStatus(WorkResult::RetryableError, status.data));
    }
    return SequentialWork::Advance(std::move(child), status);
}

void LimitedRetrySequentialWork::Restart() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    SequentialWork::Reset();
    if (std::shared_ptr<Workflow> workflow = LockedWorkflow()) {
        QueueAvailableWork(std::move(workflow));
    }
}

std::uint32_t LimitedRetrySequentialWork::Retries() const {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    return retries_;
}

}  // namespace halcyne
