// Creates CurlHttpRequest objects; see HttpRequestFactory for who calls it.
#pragma once

#include <string>

#include "http/HttpRequestFactory.hpp"

namespace halcyne {

class CurlHttpRequestFactory : public HttpRequestFactory {
public:
    // caBundle: the PEM file that https servers' certificates must chain to; "" for the system's store.
    explicit CurlHttpRequestFactory(HttpProxyFactory* proxyFactory, std::string caBundle = {});
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override;

    const std::string& CaBundle() const { return caBundle_; }

private:
    const std::string caBundle_;
};

}  // namespace halcyne
