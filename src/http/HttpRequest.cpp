#include "http/HttpRequest.hpp"

#include <utility>

namespace halcyne {

HttpRequest::HttpRequest() = default;

HttpRequest::HttpRequest(const HttpRequestParams& params, std::string proxy)
    : params_(std::make_unique<HttpRequestParams>(params)), proxy_(std::move(proxy)) {}

HttpRequest::~HttpRequest() = default;

}  // namespace halcyne
