#include "work/SimpleWork.hpp"

#include <stdexcept>

#include "work/Workflow.hpp"

namespace halcyne {

SimpleWork::SimpleWork() = default;

SimpleWork::SimpleWork(WorkCompleteCallback* callback) : Work(callback) {}

SimpleWork::~SimpleWork() = default;

void SimpleWork::Reset() {
    interrupted_.store(false);
}

std::shared_ptr<Work> SimpleWork::SharedFromThis() {
    return shared_from_this();
}

std::shared_ptr<const Work> SimpleWork::SharedFromThis() const {
    return shared_from_this();
}

void SimpleWork::OnSetWorkflow(std::shared_ptr<Workflow>) {}

void SimpleWork::QueueAvailableWork(std::shared_ptr<Workflow> workflow) {
    if (!workflow) {
        throw std::logic_error("SimpleWork::QueueAvailableWork called with no workflow");
    }
    workflow->QueueWork(SharedFromThis());
}

WorkStatus SimpleWork::Run() {
    WorkStatus status(WorkResult::Error);
    try {
        for (;;) {
            if (interrupted_.load()) {
                status = WorkStatus(WorkResult::Interrupted);
                break;
            }
            status = ExecuteTask();
            status.retry = status.result == WorkResult::RetryableError && ShouldRetry();
            if (!status.retry) {
                break;
            }
            NotifyRetry(status);
        }
    } catch (...) {
        status = WorkStatus(WorkResult::Error, MakeWorkExceptionData(std::current_exception()));
    }
    return status;
}

void SimpleWork::AddRetryCallback(SimpleWorkRetryCallback* callback) {
    if (callback != nullptr) {
        retryCallbacks_.push_back(callback);
    }
}

void SimpleWork::NotifyRetry(const WorkStatus& status) {
    const std::shared_ptr<SimpleWork> self = shared_from_this();
    for (SimpleWorkRetryCallback* callback : retryCallbacks_) {
        callback->OnSimpleWorkRetry(self, status);
    }
}

NoOpWork::NoOpWork() = default;

NoOpWork::NoOpWork(WorkCompleteCallback* callback) : SimpleWork(callback) {}

void NoOpWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "NoOpWork");
}

WorkStatus NoOpWork::ExecuteTask() {
    return WorkStatus(WorkResult::Success);
}

void NoOpWork::Interrupt() {}

std::shared_ptr<NoOpWork> MakeNoOpWork() {
    return std::make_shared<NoOpWork>();
}

std::shared_ptr<NoOpWork> MakeNoOpWork(WorkCompleteCallback* callback) {
    return std::make_shared<NoOpWork>(callback);
}

}  // namespace halcyne
