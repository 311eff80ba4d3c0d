#include "http/CurlHttpRequestFactory.hpp"

#include <utility>

#include "http/CurlHttpRequest.hpp"

namespace halcyne {

CurlHttpRequestFactory::CurlHttpRequestFactory(HttpProxyFactory* proxyFactory, std::string caBundle,
                                               RateLimit* rateLimit)
    : HttpRequestFactory(proxyFactory), caBundle_(std::move(caBundle)), rateLimit_(rateLimit) {}

std::shared_ptr<HttpRequest> CurlHttpRequestFactory::Create(const HttpRequestParams& params,
                                                            const std::string& proxy) {
    return std::make_shared<CurlHttpRequest>(params, proxy, caBundle_, rateLimit_);
}

}  // namespace halcyne
