#include "http/ManualHttpProxy.hpp"

#include <utility>

#include "common/Uri.hpp"
#include "http/SelectProxy.hpp"

namespace halcyne {

ManualHttpProxy::ManualHttpProxy(std::string proxyList, std::string bypassList,
                                 std::optional<std::string> secureProxyList)
    : proxyList_(std::move(proxyList)),
      bypassList_(std::move(bypassList)),
      secureProxyList_(std::move(secureProxyList)) {}

std::string ManualHttpProxy::GetProxy(const HttpRequestParams& params) {
    const bool secure = Uri(params.url).Scheme() == "https";
    return SelectProxy(params.url, secure && secureProxyList_ ? *secureProxyList_ : proxyList_, bypassList_);
}

}  // namespace halcyne
