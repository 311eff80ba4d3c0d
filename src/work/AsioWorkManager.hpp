// The work manager on a Boost.Asio io_context and a fixed pool of threads. Execute may be called from any
// thread, pool threads included; handlers run first in, first out on whichever pool thread is free, up to
// threadCount at a time. Destruction stops the pool: running works finish, queued ones never run.
#pragma once

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "work/WorkManager.hpp"

namespace halcyne {

class AsioWorkManager : public WorkManager {
public:
    // Starts threadCount pool threads (at least one).
    explicit AsioWorkManager(unsigned threadCount);
    // Stops the io_context (queued handlers are destroyed without running, so their works never run and
    // never notify anyone), then joins the threads after their current handlers.
    ~AsioWorkManager() override;

    void Execute(std::shared_ptr<SimpleWork> work) override;
    void Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) override;

    // Lets every handler already queued run, then joins the threads. Works executed afterwards never run.
    // Call it from a thread that is not one of the pool's; calling it twice is harmless.
    void Drain();

    unsigned ThreadCount() const { return threadCount_; }
    // True once the destructor has begun stopping the pool.
    bool IsStopped() const { return service_.stopped(); }

private:
    void JoinThreads();

    const unsigned threadCount_;
    boost::asio::io_context service_;
    // Keeps the pool threads inside run() while the queue is empty; released by Drain and the destructor.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> keepAlive_;
    std::vector<std::thread> threads_;
};

}  // namespace halcyne
