// Creates requests. Called from any thread (works create their requests on work-manager threads); consults
// its HttpProxyFactory and, with a session, the session's pool and cached proxy. Creation throws
// std::runtime_error when libcurl cannot be used; proxy selection may throw for a URL it cannot parse.
#pragma once

#include <memory>
#include <string>

#include "http/HttpProxy.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpSession.hpp"

namespace halcyne {

class HttpRequestFactory {
public:
    // proxyFactory is not owned and must outlive the factory.
    explicit HttpRequestFactory(HttpProxyFactory* proxyFactory);
    virtual ~HttpRequestFactory() = default;
    HttpRequestFactory(const HttpRequestFactory&) = delete;
    HttpRequestFactory& operator=(const HttpRequestFactory&) = delete;

    // A new request object for these params and proxy string.
    virtual std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params,
                                                const std::string& proxy) = 0;

    // A fresh, unpooled request; the proxy comes from a new HttpProxy made for this call.
    std::shared_ptr<HttpRequest> CreateRequest(const HttpRequestParams& params);
    // A request from the session's pool (re-armed or new), wrapped so that dropping the last holder gives it
    // back; the session's proxy is made once and cached. Without a session (or pool) as above.
    std::shared_ptr<HttpRequest> CreateRequest(const HttpRequestParams& params,
                                               const std::shared_ptr<HttpSession>& session);

    HttpProxyFactory* GetProxyFactory() const { return proxyFactory_; }

private:
    HttpProxyFactory* const proxyFactory_;
};

}  // namespace halcyne
