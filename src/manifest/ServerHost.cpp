#include "manifest/ServerHost.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include "manifest/StandardNodeListManifest.hpp"

namespace halcyne {

ServerHost SplitServerHost(std::string_view text) {
    static constexpr std::string_view secure = "https://";
    static constexpr std::string_view plain = "http://";
    if (boost::algorithm::istarts_with(text, secure)) {
        return {"https", std::string(text.substr(secure.size()))};
    }
    if (boost::algorithm::istarts_with(text, plain)) {
        return {"http", std::string(text.substr(plain.size()))};
    }
    return {"http", std::string(text)};
}

std::string CanonicalServerHost(const ServerHost& host) {
    return host.scheme == "https" ? "https://" + host.authority : host.authority;
}

bool IsServerHost(std::string_view text) {
    return IsHostAndPort(SplitServerHost(text).authority);
}

}  // namespace halcyne
