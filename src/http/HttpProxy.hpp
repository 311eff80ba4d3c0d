// Proxy decisions. The request factory asks an HttpProxyFactory for a proxy (once per session, or once per
// request made without one) and the proxy for the proxy string of each request's URL, on the thread that
// creates the request. Implementations call nothing back.
#pragma once

#include <memory>
#include <string>

#include "http/HttpRequestParams.hpp"

namespace halcyne {

class HttpProxy {
public:
    virtual ~HttpProxy() = default;
    // The proxy for this request's URL as libcurl takes it (host:port, or a URL with a scheme and
    // credentials), or "" for a direct connection. May throw for a URL it cannot parse.
    virtual std::string GetProxy(const HttpRequestParams& params) = 0;
};

// Never proxies.
class EmptyHttpProxy : public HttpProxy {
public:
    std::string GetProxy(const HttpRequestParams& params) override;
};

class HttpProxyFactory {
public:
    virtual ~HttpProxyFactory() = default;
    virtual std::shared_ptr<HttpProxy> Create() = 0;
};

// Always hands out an EmptyHttpProxy: every request goes direct.
class EmptyHttpProxyFactory : public HttpProxyFactory {
public:
    std::shared_ptr<HttpProxy> Create() override;
};

}  // namespace halcyne
