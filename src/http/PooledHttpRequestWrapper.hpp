// What a session hands out: a request borrowed from a pool, given back when the last holder drops the
// wrapper (on whatever thread that is). Every operation forwards to the borrowed request.
#pragma once

#include <memory>

#include "http/HttpRequest.hpp"
#include "http/HttpRequestPool.hpp"

namespace halcyne {

class PooledHttpRequestWrapper : public HttpRequest {
public:
    PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request, std::shared_ptr<HttpRequestPool> pool);
    ~PooledHttpRequestWrapper() override;

    HttpRequestStatus Perform() override;
    HttpRequestStatus GetStatus() const override;
    void Cancel() override;
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

    // The borrowed request (tests compare identities to see reuse).
    const std::shared_ptr<HttpRequest>& Wrapped() const { return request_; }

private:
    std::shared_ptr<HttpRequest> request_;
    std::shared_ptr<HttpRequestPool> pool_;
};

}  // namespace halcyne
