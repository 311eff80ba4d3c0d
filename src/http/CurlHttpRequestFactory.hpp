// Creates CurlHttpRequest objects; see HttpRequestFactory for who calls it.
#pragma once

#include <string>

#include "http/HttpRequestFactory.hpp"
#include "http/RateLimit.hpp"

namespace halcyne {

class CurlHttpRequestFactory : public HttpRequestFactory {
public:
    // caBundle: the PEM file that https servers' certificates must chain to; "" for the system's store.
    // rateLimit: the budget every request's received bytes pass through (not owned; outlives the requests);
    // none for no limit.
    explicit CurlHttpRequestFactory(HttpProxyFactory* proxyFactory, std::string caBundle = {},
                                    RateLimit* rateLimit = nullptr);
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override;

    const std::string& CaBundle() const { return caBundle_; }

private:
    const std::string caBundle_;
    RateLimit* const rateLimit_;
};

}  // namespace halcyne
