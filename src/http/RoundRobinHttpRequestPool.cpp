#include "http/RoundRobinHttpRequestPool.hpp"

#include <utility>

namespace halcyne {

RoundRobinHttpRequestPool::RoundRobinHttpRequestPool() : members_(11), idleSet_(11) {
    members_.max_load_factor(1.0f);
    idleSet_.max_load_factor(1.0f);
}

RoundRobinHttpRequestPool::~RoundRobinHttpRequestPool() = default;

void RoundRobinHttpRequestPool::MakeIdle(const std::shared_ptr<HttpRequest>& request) {
    if (idleSet_.insert(request).second) {
        idleQueue_.push_back(request);
    }
}

void RoundRobinHttpRequestPool::Add(std::shared_ptr<HttpRequest> request, bool idle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool inserted = members_.insert(request).second;
    if (inserted && idle) {
        MakeIdle(request);
    }
}

std::shared_ptr<HttpRequest> RoundRobinHttpRequestPool::Acquire(const HttpRequestParams& params,
                                                                const std::string& proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!idleQueue_.empty()) {
        std::shared_ptr<HttpRequest> request = std::move(idleQueue_.front());
        idleQueue_.pop_front();
        idleSet_.erase(request);
        if (request->Reset(params, proxy)) {
            return request;
        }
        // Still busy: it went back to the pool before its perform returned. It leaves the pool for good and
        // lives on only as long as its last holder.
        members_.erase(request);
    }
    return nullptr;
}

void RoundRobinHttpRequestPool::Release(std::shared_ptr<HttpRequest> request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (members_.count(request) != 0) {
        MakeIdle(request);
    }
}

std::size_t RoundRobinHttpRequestPool::MemberCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return members_.size();
}

std::size_t RoundRobinHttpRequestPool::IdleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return idleQueue_.size();
}

}  // namespace halcyne
