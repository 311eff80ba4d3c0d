// A work manager for deterministic tests: Execute only records the work, and the test runs the recorded
// works one at a time, in the order it chooses, on its own thread, exactly as a pool thread would.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "work/SimpleWork.hpp"
#include "work/WorkManager.hpp"
#include "work/Workflow.hpp"

namespace halcyne::test {

class ManualWorkManager : public WorkManager {
public:
    struct Job {
        std::shared_ptr<Workflow> workflow;  // null for a work that belongs to no workflow
        std::shared_ptr<SimpleWork> work;
    };

    void Execute(std::shared_ptr<SimpleWork> work) override;
    void Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) override;

    std::size_t Pending() const;
    // The pending works, oldest first.
    std::vector<std::shared_ptr<SimpleWork>> PendingWorks() const;
    // Every work ever executed, in order.
    std::vector<std::shared_ptr<SimpleWork>> History() const;
    // Removes the pending job at this position (oldest first) without running it.
    Job Take(std::size_t position = 0);
    // Runs the pending job at this position as a pool thread would. Returns false when there is none.
    bool RunNext(std::size_t position = 0);
    // Runs pending jobs, oldest first, until none is left; returns how many ran.
    std::size_t RunAll();

private:
    mutable std::mutex lock_;  // guards pending_ and history_
    std::vector<Job> pending_;
    std::vector<std::shared_ptr<SimpleWork>> history_;
};

}  // namespace halcyne::test
