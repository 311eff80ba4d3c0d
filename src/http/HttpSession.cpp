#include "http/HttpSession.hpp"

#include <utility>

namespace halcyne {

HttpSession::HttpSession(std::shared_ptr<HttpRequestPool> pool) : pool_(std::move(pool)) {}

std::shared_ptr<HttpProxy> HttpSession::GetProxy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxy_;
}

void HttpSession::SetProxy(std::shared_ptr<HttpProxy> proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    proxy_ = std::move(proxy);
}

}  // namespace halcyne
