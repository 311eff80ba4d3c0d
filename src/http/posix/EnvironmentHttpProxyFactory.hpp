// Proxy settings from the environment (http_proxy, https_proxy, no_proxy and their upper-case forms), read
// anew by every Create. Called on the threads that create requests; calls nothing back.
#pragma once

#include <string>

#include "http/HttpProxy.hpp"

namespace halcyne {

class EnvironmentHttpProxyFactory : public HttpProxyFactory {
public:
    // A ManualHttpProxy when http_proxy or https_proxy is set (each scheme uses its own variable; a scheme
    // without one goes direct), with no_proxy as its bypass list; otherwise an EmptyHttpProxy.
    std::shared_ptr<HttpProxy> Create() override;

    // A proxy variable's value as a proxy list entry: "http=" and the proxy URL, with "http://" added when
    // it names no scheme (credentials stay in it for libcurl); "" for an empty value.
    static std::string ToProxyList(const std::string& value);
    // no_proxy as a bypass list: entries split at commas, trimmed and lower-cased; "*" stays "*"; ".d" and
    // "*.d" become "*.d"; "d" becomes "d;*.d". Entries with a port or in CIDR form are left out.
    static std::string ToBypassList(const std::string& noProxy);
};

}  // namespace halcyne
