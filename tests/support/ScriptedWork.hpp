// A simple work for tests that plays a script of results, one per execution of its task (the last entry
// repeats), with a retry budget of its own. Every status carries error data naming the work, so tests can
// follow where data travels. Counters are atomic: the work may run on pool threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "work/LimitedRetryWork.hpp"

namespace halcyne::test {

class ScriptedWork : public LimitedRetrySimpleWork {
public:
    explicit ScriptedWork(std::vector<WorkResult> script, std::uint32_t maxRetries = 0, std::string name = "")
        : LimitedRetrySimpleWork(nullptr, maxRetries), script_(std::move(script)), name_(std::move(name)) {}

    WorkStatus ExecuteTask() override {
        const std::size_t execution = executions_.fetch_add(1);
        const WorkResult result = script_.at(std::min(execution, script_.size() - 1));
        return WorkStatus(result, MakeWorkErrorData(name_));
    }
    void Interrupt() override { interrupts_.fetch_add(1); }

    int Executions() const { return static_cast<int>(executions_.load()); }
    int Interrupts() const { return interrupts_.load(); }
    const std::string& Name() const { return name_; }

private:
    const std::vector<WorkResult> script_;
    const std::string name_;
    std::atomic<std::size_t> executions_{0};
    std::atomic<int> interrupts_{0};
};

inline std::shared_ptr<ScriptedWork> MakeScriptedWork(std::vector<WorkResult> script,
                                                      std::uint32_t maxRetries = 0, std::string name = "") {
    return std::make_shared<ScriptedWork>(std::move(script), maxRetries, std::move(name));
}

// Records every completion it is told of.
class CompletionRecorder : public WorkCompleteCallback {
public:
    void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) override {
        std::lock_guard<std::mutex> lock(lock_);
        works_.push_back(std::move(work));
        statuses_.push_back(status);
    }
    std::vector<WorkStatus> Statuses() const {
        std::lock_guard<std::mutex> lock(lock_);
        return statuses_;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(lock_);
        return statuses_.size();
    }

private:
    mutable std::mutex lock_;  // guards works_ and statuses_
    std::vector<std::shared_ptr<Work>> works_;
    std::vector<WorkStatus> statuses_;
};

// The error message of a status's data, or "" when it has none.
inline std::string DataMessage(const WorkStatus& status) {
    const auto* data = dynamic_cast<const WorkErrorData*>(status.data.get());
    return data == nullptr ? std::string() : data->ErrorMessage();
}

}  // namespace halcyne::test
