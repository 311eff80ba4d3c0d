// Creates CurlHttpRequest objects; see HttpRequestFactory for who calls it.
#pragma once

#include "http/HttpRequestFactory.hpp"

namespace halcyne {

class CurlHttpRequestFactory : public HttpRequestFactory {
public:
    using HttpRequestFactory::HttpRequestFactory;
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override;
};

}  // namespace halcyne
