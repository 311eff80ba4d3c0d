// The request pool of a session: grows to the most requests in use at once and reuses the request that has
// been idle longest first. Called from any thread; every operation holds the pool's lock for its whole
// duration, and Acquire re-arms candidates (taking their own lock) under it.
#pragma once

#include <deque>
#include <mutex>
#include <unordered_set>

#include "http/HttpRequestPool.hpp"

namespace halcyne {

class RoundRobinHttpRequestPool : public HttpRequestPool {
public:
    RoundRobinHttpRequestPool();
    ~RoundRobinHttpRequestPool() override;

    void Add(std::shared_ptr<HttpRequest> request, bool idle) override;
    // Takes idle requests oldest first; a candidate that refuses to re-arm (its perform has not returned) is
    // dropped from the pool for good and the next one is tried.
    std::shared_ptr<HttpRequest> Acquire(const HttpRequestParams& params, const std::string& proxy) override;
    void Release(std::shared_ptr<HttpRequest> request) override;

    // Counts, for tests and diagnostics.
    std::size_t MemberCount() const;
    std::size_t IdleCount() const;

private:
    using RequestSet = std::unordered_set<std::shared_ptr<HttpRequest>>;
    void MakeIdle(const std::shared_ptr<HttpRequest>& request);

    mutable std::mutex mutex_;                            // guards members_, idleSet_ and idleQueue_
    RequestSet members_;                                  // every request that belongs to the pool
    RequestSet idleSet_;                                  // the members that are idle
    std::deque<std::shared_ptr<HttpRequest>> idleQueue_;  // the same idle requests, oldest idle first
};

}  // namespace halcyne
