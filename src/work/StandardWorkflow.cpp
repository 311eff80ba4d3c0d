#include "work/StandardWorkflow.hpp"

#include <algorithm>
#include <stdexcept>

namespace halcyne {

namespace {

bool IsRequeued(WorkResult result) {
    return result == WorkResult::Interrupted || result == WorkResult::RetryableError;
}

}  // namespace

StandardWorkflow::StandardWorkflow(std::shared_ptr<Work> root, WorkManager* workManager, unsigned maxRunning)
    : root_(std::move(root)), workManager_(workManager), maxRunning_(maxRunning == 0 ? 1 : maxRunning) {
    if (!root_ || workManager_ == nullptr) {
        throw std::logic_error("StandardWorkflow constructed without a root work or a work manager");
    }
}

StandardWorkflow::~StandardWorkflow() = default;

void StandardWorkflow::OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) {
    std::unique_lock<std::recursive_mutex> lock(lock_);
    if (state_ == WorkflowState::NotStarted || IsFinishedLocked()) {
        return;
    }
    if (status.result == WorkResult::Error || (work == root_ && !IsRequeued(status.result))) {
        InterruptRunning();
        state_ = WorkflowState::Finished;
        DropReady();
    }
    const bool waiting = state_ == WorkflowState::WaitingRetry || state_ == WorkflowState::PausedWaitingRetry;
    if (status.result == WorkResult::RetryableError && !status.retry && !waiting) {
        InterruptRunning();
        state_ = state_ == WorkflowState::Running ? WorkflowState::WaitingRetry
                                                  : WorkflowState::PausedWaitingRetry;
        const std::vector<WorkflowRetryableErrorCallback*> callbacks = retryableErrorCallbacks_;
        const std::shared_ptr<Workflow> self = shared_from_this();
        lock.unlock();
        for (WorkflowRetryableErrorCallback* callback : callbacks) {
            callback->OnWorkflowRetryableError(self, work, status);
        }
    }
}

bool StandardWorkflow::Start() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (state_ != WorkflowState::NotStarted) {
        return false;
    }
    // Composites queue their children without taking their own locks, so holding this lock here keeps the
    // lock order (a composite's lock before the workflow's) intact.
    root_->QueueAvailableWork(shared_from_this());
    state_ = WorkflowState::Running;
    Dispatch();
    return true;
}

bool StandardWorkflow::Pause() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (state_ == WorkflowState::Running) {
        state_ = WorkflowState::Paused;
    } else if (state_ == WorkflowState::WaitingRetry) {
        state_ = WorkflowState::PausedWaitingRetry;
    } else {
        return false;
    }
    InterruptRunning();
    return true;
}

bool StandardWorkflow::Resume() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (state_ == WorkflowState::Paused) {
        state_ = WorkflowState::Running;
    } else if (state_ == WorkflowState::PausedWaitingRetry) {
        state_ = WorkflowState::WaitingRetry;
    } else {
        return false;
    }
    Dispatch();
    return true;
}

bool StandardWorkflow::Retry() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (state_ == WorkflowState::WaitingRetry) {
        state_ = WorkflowState::Running;
    } else if (state_ == WorkflowState::PausedWaitingRetry) {
        state_ = WorkflowState::Paused;
    } else {
        return false;
    }
    Dispatch();
    return true;
}

std::uint8_t StandardWorkflow::GetState() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return static_cast<std::uint8_t>(state_);
}

bool StandardWorkflow::IsStarted() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return state_ != WorkflowState::NotStarted;
}

bool StandardWorkflow::IsPaused() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return state_ == WorkflowState::Paused || state_ == WorkflowState::PausedWaitingRetry;
}

bool StandardWorkflow::IsWaitingRetry() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return state_ == WorkflowState::WaitingRetry || state_ == WorkflowState::PausedWaitingRetry;
}

bool StandardWorkflow::IsFinished() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return IsFinishedLocked();
}

bool StandardWorkflow::Cancel(const WorkStatus& status) {
    std::unique_lock<std::recursive_mutex> lock(lock_);
    if (state_ == WorkflowState::Cancelled) {
        return false;
    }
    Pause();
    state_ = WorkflowState::Cancelled;
    DropReady();
    lock.unlock();
    root_->NotifyComplete(status);
    return true;
}

void StandardWorkflow::AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) {
    if (callback == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(lock_);
    retryableErrorCallbacks_.push_back(callback);
}

void StandardWorkflow::QueueWork(std::shared_ptr<Work> work) {
    std::shared_ptr<SimpleWork> simple = std::dynamic_pointer_cast<SimpleWork>(std::move(work));
    if (!simple) {
        throw std::logic_error("StandardWorkflow::QueueWork called with a work that is not a SimpleWork");
    }
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (IsFinishedLocked()) {
        return;
    }
    const auto found = places_.find(simple.get());
    if (found == places_.end()) {
        Enqueue(std::move(simple));
    } else if (found->second == Place::Ready) {
        simple->Reset();  // already waiting: it is sent once
    } else {
        // Its previous run has not been reported yet: queue it when it is (OnTaskComplete).
        found->second = Place::RunningQueuedAgain;
    }
}

void StandardWorkflow::OnTaskComplete(std::shared_ptr<Work> work, const WorkStatus& status) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    const auto found = places_.find(work.get());
    if (found == places_.end() || found->second == Place::Ready) {
        return;
    }
    const bool queuedAgain = found->second == Place::RunningQueuedAgain;
    places_.erase(found);
    const auto entry =
        std::find_if(running_.begin(), running_.end(),
                     [&](const std::shared_ptr<SimpleWork>& running) { return running == work; });
    if (entry == running_.end()) {
        return;
    }
    std::shared_ptr<SimpleWork> simple = std::move(*entry);
    *entry = std::move(running_.back());
    running_.pop_back();
    if (!IsFinishedLocked() && (queuedAgain || IsRequeued(status.result))) {
        Enqueue(std::move(simple));
    }
    Dispatch();
}

bool StandardWorkflow::IsFinishedLocked() const {
    return state_ == WorkflowState::Finished || state_ == WorkflowState::Cancelled;
}

void StandardWorkflow::Dispatch() {
    while (state_ == WorkflowState::Running && running_.size() < maxRunning_ && !ready_.empty()) {
        std::shared_ptr<SimpleWork> work = std::move(ready_.back());
        ready_.pop_back();
        places_[work.get()] = Place::Running;
        running_.push_back(work);
        workManager_->Execute(shared_from_this(), std::move(work));
    }
}

void StandardWorkflow::InterruptRunning() {
    for (const std::shared_ptr<SimpleWork>& work : running_) {
        work->SetInterrupted();
        try {
            work->Interrupt();
        } catch (...) {
            // Interrupting is a hint to stop early; the flag is set and the run loop stops at its next check.
        }
    }
}

void StandardWorkflow::DropReady() {
    for (const std::shared_ptr<SimpleWork>& work : ready_) {
        places_.erase(work.get());
    }
    ready_.clear();
}

void StandardWorkflow::Enqueue(std::shared_ptr<SimpleWork> work) {
    work->Reset();
    places_[work.get()] = Place::Ready;
    ready_.push_back(std::move(work));
}

std::shared_ptr<StandardWorkflow> MakeStandardWorkflow(std::shared_ptr<Work> root, WorkManager* workManager,
                                                       unsigned maxRunning) {
    return std::make_shared<StandardWorkflow>(std::move(root), workManager, maxRunning);
}

}  // namespace halcyne
