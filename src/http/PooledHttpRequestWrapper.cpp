#include "http/PooledHttpRequestWrapper.hpp"

#include <utility>

namespace halcyne {

PooledHttpRequestWrapper::PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request,
                                                   std::shared_ptr<HttpRequestPool> pool)
    : request_(std::move(request)), pool_(std::move(pool)) {}

PooledHttpRequestWrapper::~PooledHttpRequestWrapper() {
    if (pool_ && request_) {
        pool_->Release(request_);
    }
}

HttpRequestStatus PooledHttpRequestWrapper::Perform() {
    return request_->Perform();
}

HttpRequestStatus PooledHttpRequestWrapper::GetStatus() const {
    return request_->GetStatus();
}

void PooledHttpRequestWrapper::Cancel() {
    request_->Cancel();
}

bool PooledHttpRequestWrapper::Reset(const HttpRequestParams& params, const std::string& proxy) {
    return request_->Reset(params, proxy);
}

}  // namespace halcyne
