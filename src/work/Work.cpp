#include "work/Work.hpp"

#include <stdexcept>

#include "work/Workflow.hpp"

namespace halcyne {

Work::Work() = default;

Work::Work(WorkCompleteCallback* callback) {
    if (callback != nullptr) {
        callbacks_.push_back(callback);
    }
}

Work::~Work() = default;

void Work::Describe(boost::property_tree::ptree&) const {}

bool Work::ShouldRetry() {
    return false;
}

void Work::DescribeCompletion(const WorkStatus& status, boost::property_tree::ptree& tree) const {
    Describe(tree);
    status.Describe(tree.add_child("workStatus", boost::property_tree::ptree()));
}

void Work::SetWorkflow(std::shared_ptr<Workflow> workflow) {
    if (!workflow) {
        throw std::logic_error("Work::SetWorkflow called with no workflow");
    }
    if (workflowAttached_ && !callbacks_.empty()) {
        callbacks_.front() = workflow.get();
    } else {
        callbacks_.insert(callbacks_.begin(), workflow.get());
    }
    workflowAttached_ = true;
    OnSetWorkflow(std::move(workflow));
}

void Work::AddWorkCompleteCallback(WorkCompleteCallback* callback) {
    if (callback == nullptr) {
        return;
    }
    if (parentAttached_ && !callbacks_.empty()) {
        callbacks_.insert(callbacks_.end() - 1, callback);
    } else {
        callbacks_.push_back(callback);
    }
}

void Work::AttachParent(WorkCompleteCallback* parent) {
    if (parentAttached_ && !callbacks_.empty()) {
        callbacks_.pop_back();
    }
    callbacks_.push_back(parent);
    parentAttached_ = true;
}

void Work::NotifyComplete(const WorkStatus& status) {
    const std::shared_ptr<Work> self = SharedFromThis();
    for (WorkCompleteCallback* callback : callbacks_) {
        callback->OnWorkComplete(self, status);
    }
}

}  // namespace halcyne
