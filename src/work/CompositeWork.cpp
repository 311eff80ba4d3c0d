#include "work/CompositeWork.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "work/SimpleWork.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

namespace {

const char* const InvalidChildMessage = "Invalid child progress for CompositeWork::OnWorkComplete";

}  // namespace

CompositeWork::ChildProgress::ChildProgress(const WorkStatus& status)
    : complete(status.result != WorkResult::Interrupted && status.result != WorkResult::RetryableError),
      status(status) {}

CompositeWork::CompositeWork() = default;

CompositeWork::CompositeWork(WorkCompleteCallback* callback) : Work(callback) {}

CompositeWork::~CompositeWork() = default;

bool CompositeWork::ShouldRetry() {
    return false;
}

void CompositeWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    status_ = WorkStatus(WorkResult::Error);
    complete_ = false;
}

std::shared_ptr<Work> CompositeWork::SharedFromThis() {
    return shared_from_this();
}

std::shared_ptr<const Work> CompositeWork::SharedFromThis() const {
    return shared_from_this();
}

void CompositeWork::SetWorkflow(std::shared_ptr<Workflow> workflow) {
    workflow_ = workflow;
    Work::SetWorkflow(std::move(workflow));
}

void CompositeWork::AttachChild(std::shared_ptr<Work> child) {
    child->AttachParent(static_cast<WorkCompleteCallback*>(this));
    if (IsWorkflowAttached()) {
        if (std::shared_ptr<Workflow> workflow = LockedWorkflow()) {
            child->SetWorkflow(std::move(workflow));
        }
    }
}

void CompositeWork::Restart() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    Reset();
    if (std::shared_ptr<Workflow> workflow = LockedWorkflow()) {
        QueueAvailableWork(std::move(workflow));
    }
}

void CompositeWork::OnWorkComplete(std::shared_ptr<Work> child, const WorkStatus& status) {
    std::unique_lock<std::recursive_mutex> lock(lock_);
    if (complete_) {
        return;  // a late completion, for example of an interrupted sibling
    }
    UpdateFromChild(child, status);
    if (complete_) {
        if (status_.result != WorkResult::Error) {
            status_.data.reset();  // a finished composite passes data on only with an error
        }
        const WorkStatus finished = status_;
        lock.unlock();
        NotifyComplete(finished);
        return;
    }
    if (status_.result == WorkResult::RetryableError) {
        // Only a retrying sequence gets here: one of its children failed.
        status_.retry = ShouldRetry();
        if (!status_.retry) {
            const WorkStatus reported = status_;
            lock.unlock();
            NotifyComplete(reported);
            lock.lock();
        }
        Restart();
    }
}

bool CompositeWork::IsComplete() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return complete_;
}

WorkStatus CompositeWork::GetStatus() const {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return status_;
}

std::shared_ptr<Workflow> CompositeWork::LockedWorkflow() const {
    return workflow_.lock();
}

void CompositeWork::UpdateFromChild(const std::shared_ptr<Work>& child, const WorkStatus& status) {
    if (!IsChildActive(child)) {
        complete_ = true;
        status_ = WorkStatus(WorkResult::Error, MakeWorkErrorData(InvalidChildMessage));
        return;
    }
    switch (status.result) {
        case WorkResult::Error:
            complete_ = true;
            status_ = status;
            return;
        case WorkResult::Interrupted:
        case WorkResult::RetryableError:
            return;  // the workflow queues that child again
        case WorkResult::Success:
        case WorkResult::Failure:
            break;
    }
    ChildProgress progress = Advance(child, status);
    complete_ = progress.complete;
    status_ = std::move(progress.status);
}

// SequentialWork

SequentialWork::SequentialWork() {
    children_.reserve(2);
}

SequentialWork::SequentialWork(WorkCompleteCallback* callback) : CompositeWork(callback) {
    children_.reserve(2);
}

void SequentialWork::AddChild(std::shared_ptr<Work> child) {
    if (!child) {
        throw std::logic_error("SequentialWork::AddChild called with no work");
    }
    children_.push_back(child);
    AttachChild(std::move(child));
}

void SequentialWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    CompositeWork::Reset();
    index_ = 0;
    for (const std::shared_ptr<Work>& child : children_) {
        child->Reset();
    }
}

void SequentialWork::OnSetWorkflow(std::shared_ptr<Workflow> workflow) {
    for (const std::shared_ptr<Work>& child : children_) {
        child->SetWorkflow(workflow);
    }
}

void SequentialWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    if (!children_.empty()) {
        children_.front()->QueueAvailableWork(std::move(workflow));
    }
}

bool SequentialWork::IsChildActive(const std::shared_ptr<Work>& child) {
    return !IsComplete() && index_ < children_.size() && children_[index_] == child;
}

CompositeWork::ChildProgress SequentialWork::Advance(std::shared_ptr<Work>, const WorkStatus& status) {
    if (status.result == WorkResult::Failure || index_ + 1 >= children_.size()) {
        return ChildProgress(status);
    }
    ++index_;
    if (std::shared_ptr<Workflow> workflow = LockedWorkflow()) {
        children_[index_]->QueueAvailableWork(std::move(workflow));
    }
    return ChildProgress();
}

// ParallelWork

ParallelWork::ParallelWork() = default;

ParallelWork::ParallelWork(WorkCompleteCallback* callback) : CompositeWork(callback) {}

void ParallelWork::AddChild(std::shared_ptr<Work> child) {
    if (!child) {
        throw std::logic_error("ParallelWork::AddChild called with no work");
    }
    if (done_.try_emplace(child.get(), false).second) {
        order_.push_back(child);
        AttachChild(std::move(child));
    }
}

void ParallelWork::Reserve(std::size_t count) {
    order_.reserve(count);
    done_.reserve(count);
}

void ParallelWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    CompositeWork::Reset();
    completed_ = 0;
    for (auto& entry : done_) {
        entry.second = false;
    }
    for (const std::shared_ptr<Work>& child : order_) {
        child->Reset();
    }
}

void ParallelWork::OnSetWorkflow(std::shared_ptr<Workflow> workflow) {
    for (const std::shared_ptr<Work>& child : order_) {
        child->SetWorkflow(workflow);
    }
}

void ParallelWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    for (const std::shared_ptr<Work>& child : order_) {
        child->QueueAvailableWork(workflow);
    }
}

bool ParallelWork::IsChildActive(const std::shared_ptr<Work>& child) {
    const auto found = done_.find(child.get());
    return found != done_.end() && !found->second;
}

CompositeWork::ChildProgress ParallelWork::Advance(std::shared_ptr<Work> child, const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return ChildProgress(true, WorkStatus(WorkResult::Error, status.data));
    }
    done_[child.get()] = true;
    if (++completed_ == order_.size()) {
        return ChildProgress(true, WorkStatus(WorkResult::Success));
    }
    return ChildProgress();
}

// WindowedParallelWork

WindowedParallelWork::WindowedParallelWork(WorkCompleteCallback* callback, std::size_t count,
                                           std::size_t window)
    : CompositeWork(callback), count_(count), window_(std::max<std::size_t>(window, 1)) {
    if (count_ == 0) {
        throw std::logic_error("WindowedParallelWork constructed with no child");
    }
    live_.reserve(std::min(count_, window_));
}

void WindowedParallelWork::Reset() {
    std::vector<std::shared_ptr<Work>> dropped;
    std::lock_guard<std::recursive_mutex> lock(Lock());
    CompositeWork::Reset();
    {
        const std::lock_guard<std::mutex> state(stateLock_);
        dropped.swap(live_);
        next_ = 0;
        completed_ = 0;
    }
}

void WindowedParallelWork::OnSetWorkflow(std::shared_ptr<Workflow> workflow) {
    for (const std::shared_ptr<Work>& child : LiveChildren()) {
        child->SetWorkflow(workflow);
    }
}

void WindowedParallelWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    for (;;) {
        std::size_t index = 0;
        {
            const std::lock_guard<std::mutex> state(stateLock_);
            if (next_ >= count_ || next_ - completed_ >= window_) {
                return;
            }
            index = next_++;
        }
        StartChild(index, workflow);
    }
}

void WindowedParallelWork::StartChild(std::size_t index, const std::shared_ptr<Workflow>& workflow) {
    std::shared_ptr<Work> child = MakeChild(index);
    if (!child) {
        throw std::logic_error("WindowedParallelWork::MakeChild made no work");
    }
    AttachChild(child);
    {
        const std::lock_guard<std::mutex> state(stateLock_);
        live_.push_back(child);
    }
    if (workflow) {
        child->QueueAvailableWork(workflow);
    }
}

bool WindowedParallelWork::IsChildActive(const std::shared_ptr<Work>& child) {
    const std::lock_guard<std::mutex> state(stateLock_);
    return std::find(live_.begin(), live_.end(), child) != live_.end();
}

CompositeWork::ChildProgress WindowedParallelWork::Advance(std::shared_ptr<Work> child,
                                                           const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return ChildProgress(true, WorkStatus(WorkResult::Error, status.data));
    }
    std::optional<std::size_t> index;
    {
        const std::lock_guard<std::mutex> state(stateLock_);
        const auto found = std::find(live_.begin(), live_.end(), child);
        if (found != live_.end()) {
            *found = std::move(live_.back());
            live_.pop_back();
        }
        if (++completed_ == count_) {
            return ChildProgress(true, WorkStatus(WorkResult::Success));
        }
        if (next_ < count_) {
            index = next_++;
        }
    }
    if (index) {
        try {
            StartChild(*index, LockedWorkflow());
        } catch (const std::exception& error) {
            return ChildProgress(true, WorkStatus(WorkResult::Error, MakeWorkErrorData(error.what())));
        }
    }
    return ChildProgress();
}

std::vector<std::shared_ptr<Work>> WindowedParallelWork::LiveChildren() const {
    const std::lock_guard<std::mutex> state(stateLock_);
    return live_;
}

// ConditionalWork

ConditionalWork::ConditionalWork() = default;

ConditionalWork::ConditionalWork(WorkCompleteCallback* callback) : CompositeWork(callback) {}

void ConditionalWork::SetCondition(std::shared_ptr<Work> condition) {
    if (condition_ || !condition) {
        return;
    }
    condition_ = condition;
    current_ = condition;
    AttachChild(std::move(condition));
}

void ConditionalWork::SetOnSuccess(std::shared_ptr<Work> onSuccess) {
    if (onSuccess_ || !onSuccess) {
        return;
    }
    onSuccess_ = onSuccess;
    AttachChild(std::move(onSuccess));
}

void ConditionalWork::SetOnFailure(std::shared_ptr<Work> onFailure) {
    if (onFailure_ || !onFailure) {
        return;
    }
    onFailure_ = onFailure;
    AttachChild(std::move(onFailure));
}

void ConditionalWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    CompositeWork::Reset();
    current_ = condition_;
    for (const std::shared_ptr<Work>* child : {&condition_, &onSuccess_, &onFailure_}) {
        if (*child) {
            (*child)->Reset();
        }
    }
}

void ConditionalWork::OnSetWorkflow(std::shared_ptr<Workflow> workflow) {
    for (const std::shared_ptr<Work>* child : {&condition_, &onFailure_, &onSuccess_}) {
        if (*child) {
            (*child)->SetWorkflow(workflow);
        }
    }
}

void ConditionalWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    if (!condition_ || !onSuccess_ || !onFailure_) {
        throw std::logic_error("ConditionalWork::QueueAvailableWork called with incomplete children");
    }
    condition_->QueueAvailableWork(std::move(workflow));
}

bool ConditionalWork::IsChildActive(const std::shared_ptr<Work>& child) {
    return !IsComplete() && child == current_;
}

CompositeWork::ChildProgress ConditionalWork::Advance(std::shared_ptr<Work> child, const WorkStatus& status) {
    if (child != condition_) {
        return ChildProgress(status);  // a branch completed: the conditional ends with its result
    }
    current_ = status.result == WorkResult::Success ? onSuccess_ : onFailure_;
    if (std::shared_ptr<Workflow> workflow = LockedWorkflow()) {
        current_->QueueAvailableWork(std::move(workflow));
    }
    return ChildProgress();
}

// DeferredWork

DeferredWork::DeferredWork() = default;

DeferredWork::DeferredWork(WorkCompleteCallback* callback) : CompositeWork(callback) {}

bool DeferredWork::Assign(std::shared_ptr<Work> work) {
    std::lock_guard<std::mutex> lock(childLock_);
    if (child_) {
        return false;
    }
    child_ = work ? std::move(work) : MakeNoOpWork();
    // Attached under the mutex, so that a concurrent QueueAvailableWork or Reset, which reads the child
    // under the same mutex, never sees a child whose callbacks are still being set up.
    AttachChild(child_);
    return true;
}

void DeferredWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "DeferredWork");
}

void DeferredWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Lock());
    CompositeWork::Reset();
    Assign(nullptr);
    Child()->Reset();
}

void DeferredWork::OnSetWorkflow(std::shared_ptr<Workflow> workflow) {
    if (std::shared_ptr<Work> child = Child()) {
        child->SetWorkflow(std::move(workflow));
    }
}

void DeferredWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    Assign(nullptr);
    Child()->QueueAvailableWork(std::move(workflow));
}

bool DeferredWork::IsChildActive(const std::shared_ptr<Work>& child) {
    return child == Child();
}

CompositeWork::ChildProgress DeferredWork::Advance(std::shared_ptr<Work>, const WorkStatus& status) {
    return ChildProgress(status);
}

std::shared_ptr<Work> DeferredWork::Child() const {
    std::lock_guard<std::mutex> lock(childLock_);
    return child_;
}

std::shared_ptr<SequentialWork> MakeSequentialWork(WorkCompleteCallback* callback) {
    return std::make_shared<SequentialWork>(callback);
}

std::shared_ptr<ParallelWork> MakeParallelWork(WorkCompleteCallback* callback) {
    return std::make_shared<ParallelWork>(callback);
}

std::shared_ptr<ConditionalWork> MakeConditionalWork(WorkCompleteCallback* callback) {
    return std::make_shared<ConditionalWork>(callback);
}

std::shared_ptr<DeferredWork> MakeDeferredWork(WorkCompleteCallback* callback) {
    return std::make_shared<DeferredWork>(callback);
}

}  // namespace halcyne
