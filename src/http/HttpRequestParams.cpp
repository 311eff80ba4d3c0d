#include "http/HttpRequestParams.hpp"

#include <utility>

namespace halcyne {

const std::string& DefaultUserAgent() {
    static const std::string agent = "Vantrel Halcyne TransferService 0.9";
    return agent;
}

HttpRequestParams::HttpRequestParams(std::string url, HttpWriteCallback* writer)
    : url(std::move(url)), writer(writer), userAgent(DefaultUserAgent()) {}

}  // namespace halcyne
