#include "support/ManualWorkManager.hpp"

#include <stdexcept>

namespace halcyne::test {

void ManualWorkManager::Execute(std::shared_ptr<SimpleWork> work) {
    Execute(nullptr, std::move(work));
}

void ManualWorkManager::Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) {
    std::lock_guard<std::mutex> lock(lock_);
    history_.push_back(work);
    pending_.push_back(Job{std::move(workflow), std::move(work)});
}

std::size_t ManualWorkManager::Pending() const {
    std::lock_guard<std::mutex> lock(lock_);
    return pending_.size();
}

std::vector<std::shared_ptr<SimpleWork>> ManualWorkManager::PendingWorks() const {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<std::shared_ptr<SimpleWork>> works;
    for (const Job& job : pending_) {
        works.push_back(job.work);
    }
    return works;
}

std::vector<std::shared_ptr<SimpleWork>> ManualWorkManager::History() const {
    std::lock_guard<std::mutex> lock(lock_);
    return history_;
}

ManualWorkManager::Job ManualWorkManager::Take(std::size_t position) {
    std::lock_guard<std::mutex> lock(lock_);
    if (position >= pending_.size()) {
        throw std::out_of_range("ManualWorkManager::Take: no such pending work");
    }
    Job job = std::move(pending_[position]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(position));
    return job;
}

bool ManualWorkManager::RunNext(std::size_t position) {
    if (position >= Pending()) {
        return false;
    }
    Job job = Take(position);
    if (job.workflow) {
        RunWorkflowWork(*job.workflow, *job.work);
    } else {
        RunStandaloneWork(*job.work);
    }
    return true;
}

std::size_t ManualWorkManager::RunAll() {
    std::size_t ran = 0;
    while (RunNext()) {
        ++ran;
    }
    return ran;
}

}  // namespace halcyne::test
