#include "http/CurlHttpRequestFactory.hpp"

#include "http/CurlHttpRequest.hpp"

namespace halcyne {

std::shared_ptr<HttpRequest> CurlHttpRequestFactory::Create(const HttpRequestParams& params,
                                                            const std::string& proxy) {
    return std::make_shared<CurlHttpRequest>(params, proxy);
}

}  // namespace halcyne
