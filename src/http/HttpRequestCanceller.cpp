#include "http/HttpRequestCanceller.hpp"

#include "http/HttpRequest.hpp"

namespace halcyne {

void HttpRequestCanceller::Cancel() {
    std::shared_ptr<HttpRequest> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        request = request_;
    }
    if (request) {
        request->Cancel();
    }
}

void HttpRequestCanceller::Rearm() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = false;
}

bool HttpRequestCanceller::IsCancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void HttpRequestCanceller::Attach(std::shared_ptr<HttpRequest> request) {
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request_ = request;
        cancelled = cancelled_;
    }
    if (cancelled && request) {
        request->Cancel();
    }
}

void HttpRequestCanceller::Detach() {
    std::shared_ptr<HttpRequest> request;
    std::lock_guard<std::mutex> lock(mutex_);
    request.swap(request_);
    // `request` is released after the lock (declared before the guard): the last reference of a pooled
    // request gives it back to its pool, which takes the pool's lock.
}

HttpRequestCancellerScope::HttpRequestCancellerScope(HttpRequestCanceller* canceller,
                                                     std::shared_ptr<HttpRequest> request)
    : canceller_(canceller) {
    if (canceller_) {
        canceller_->Attach(std::move(request));
    }
}

HttpRequestCancellerScope::~HttpRequestCancellerScope() {
    if (canceller_) {
        canceller_->Detach();
    }
}

}  // namespace halcyne
