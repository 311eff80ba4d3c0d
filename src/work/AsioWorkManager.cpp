#include "work/AsioWorkManager.hpp"

#include <boost/asio/post.hpp>

#include "work/SimpleWork.hpp"
#include "work/Workflow.hpp"

namespace halcyne {

AsioWorkManager::AsioWorkManager(unsigned threadCount)
    : threadCount_(threadCount == 0 ? 1 : threadCount), keepAlive_(service_.get_executor()) {
    threads_.reserve(threadCount_);
    try {
        for (unsigned i = 0; i < threadCount_; ++i) {
            threads_.emplace_back([this] { service_.run(); });
        }
    } catch (...) {
        service_.stop();
        JoinThreads();
        throw;
    }
}

AsioWorkManager::~AsioWorkManager() {
    service_.stop();
    JoinThreads();
    keepAlive_.reset();
}

void AsioWorkManager::Execute(std::shared_ptr<SimpleWork> work) {
    boost::asio::post(service_, [work = std::move(work)] { RunStandaloneWork(*work); });
}

void AsioWorkManager::Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) {
    boost::asio::post(service_, [workflow = std::move(workflow), work = std::move(work)] {
        RunWorkflowWork(*workflow, *work);
    });
}

void AsioWorkManager::Drain() {
    keepAlive_.reset();
    JoinThreads();
}

void AsioWorkManager::JoinThreads() {
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

}  // namespace halcyne
