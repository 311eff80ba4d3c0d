// A group of requests that share a request pool (and so their connections) and one proxy decision: one per
// package transfer and one for analytics. Used from any thread; its lock guards only the proxy pointer and
// is never held while calling out.
#pragma once

#include <memory>
#include <mutex>

#include "http/HttpProxy.hpp"
#include "http/HttpRequestPool.hpp"

namespace halcyne {

class HttpSession {
public:
    explicit HttpSession(std::shared_ptr<HttpRequestPool> pool);
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    std::shared_ptr<HttpRequestPool> GetPool() const { return pool_; }
    std::shared_ptr<HttpProxy> GetProxy() const;
    void SetProxy(std::shared_ptr<HttpProxy> proxy);

private:
    mutable std::mutex mutex_;  // guards proxy_
    const std::shared_ptr<HttpRequestPool> pool_;
    std::shared_ptr<HttpProxy> proxy_;  // empty until the first request needs it
};

class HttpSessionFactory {
public:
    virtual ~HttpSessionFactory() = default;
    virtual std::shared_ptr<HttpSession> CreateSession() = 0;
};

}  // namespace halcyne
