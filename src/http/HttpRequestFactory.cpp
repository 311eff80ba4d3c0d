#include "http/HttpRequestFactory.hpp"

#include "http/PooledHttpRequestWrapper.hpp"

namespace halcyne {

HttpRequestFactory::HttpRequestFactory(HttpProxyFactory* proxyFactory) : proxyFactory_(proxyFactory) {}

std::shared_ptr<HttpRequest> HttpRequestFactory::CreateRequest(const HttpRequestParams& params) {
    const std::shared_ptr<HttpProxy> proxy = proxyFactory_->Create();
    return Create(params, proxy->GetProxy(params));
}

std::shared_ptr<HttpRequest> HttpRequestFactory::CreateRequest(const HttpRequestParams& params,
                                                               const std::shared_ptr<HttpSession>& session) {
    std::shared_ptr<HttpRequestPool> pool = session ? session->GetPool() : nullptr;
    if (!pool) {
        return CreateRequest(params);
    }
    // Two threads may both find no proxy and both make one; the last stored wins, and either is right.
    std::shared_ptr<HttpProxy> proxy = session->GetProxy();
    if (!proxy) {
        proxy = proxyFactory_->Create();
        session->SetProxy(proxy);
    }
    const std::string proxyString = proxy->GetProxy(params);
    std::shared_ptr<HttpRequest> request = pool->Acquire(params, proxyString);
    if (!request) {
        request = Create(params, proxyString);
        pool->Add(request, false);
    }
    return std::make_shared<PooledHttpRequestWrapper>(std::move(request), std::move(pool));
}

}  // namespace halcyne
