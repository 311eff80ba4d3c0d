// A fixed proxy list with a bypass list, as a user sets them by hand (or as the environment gives them).
// Immutable after construction: GetProxy is callable from any thread and calls nothing back.
#pragma once

#include <optional>
#include <string>

#include "http/HttpProxy.hpp"

namespace halcyne {

class ManualHttpProxy : public HttpProxy {
public:
    // proxyList serves http URLs, and https URLs too unless secureProxyList is given (an empty one sends
    // https direct). The lists and the bypass list are in the form SelectProxy reads.
    ManualHttpProxy(std::string proxyList, std::string bypassList,
                    std::optional<std::string> secureProxyList = std::nullopt);

    // SelectProxy(params.url, the list for the URL's scheme, bypassList). Throws for a URL it cannot parse.
    std::string GetProxy(const HttpRequestParams& params) override;

    const std::string& ProxyList() const { return proxyList_; }
    const std::string& BypassList() const { return bypassList_; }
    const std::optional<std::string>& SecureProxyList() const { return secureProxyList_; }

private:
    const std::string proxyList_;
    const std::string bypassList_;
    const std::optional<std::string> secureProxyList_;
};

}  // namespace halcyne
