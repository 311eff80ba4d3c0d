#include "http/posix/EnvironmentHttpProxyFactory.hpp"

#include <cstdlib>
#include <optional>

#include "common/AsciiText.hpp"
#include "http/ManualHttpProxy.hpp"

namespace halcyne {

namespace {

// The lower-case variable wins over the upper-case one, as libcurl and most tools read them.
std::optional<std::string> Variable(const char* lower, const char* upper) {
    if (const char* value = std::getenv(lower)) {
        return std::string(value);
    }
    if (const char* value = std::getenv(upper)) {
        return std::string(value);
    }
    return std::nullopt;
}

bool HasPort(const std::string& entry) {
    if (entry.front() == '[') {
        const std::size_t close = entry.find(']');
        return close != std::string::npos && close + 1 < entry.size() && entry[close + 1] == ':';
    }
    const std::size_t colon = entry.find(':');
    return colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos;  // one colon
}

}  // namespace

std::string EnvironmentHttpProxyFactory::ToProxyList(const std::string& value) {
    const std::string trimmed = AsciiTrim(value);
    if (trimmed.empty()) {
        return {};
    }
    return "http=" + (trimmed.find("://") == std::string::npos ? "http://" + trimmed : trimmed);
}

std::string EnvironmentHttpProxyFactory::ToBypassList(const std::string& noProxy) {
    std::string list;
    auto add = [&](const std::string& entry) { list += (list.empty() ? "" : ";") + entry; };
    std::size_t start = 0;
    while (start <= noProxy.size()) {
        const std::size_t comma = std::min(noProxy.find(',', start), noProxy.size());
        const std::string entry =
            AsciiLower(AsciiTrim(std::string_view(noProxy).substr(start, comma - start)));
        start = comma + 1;
        if (entry.empty() || entry.find('/') != std::string::npos || HasPort(entry)) {
            continue;
        }
        if (entry == "*") {
            add("*");
        } else if (entry.rfind("*.", 0) == 0) {
            add(entry);
        } else if (entry.front() == '.') {
            add("*" + entry);
        } else {
            add(entry);
            add("*." + entry);
        }
    }
    return list;
}

std::shared_ptr<HttpProxy> EnvironmentHttpProxyFactory::Create() {
    const std::optional<std::string> http = Variable("http_proxy", "HTTP_PROXY");
    const std::optional<std::string> https = Variable("https_proxy", "HTTPS_PROXY");
    const std::string httpList = http ? ToProxyList(*http) : std::string();
    const std::string httpsList = https ? ToProxyList(*https) : std::string();
    if (httpList.empty() && httpsList.empty()) {
        return std::make_shared<EmptyHttpProxy>();
    }
    const std::optional<std::string> noProxy = Variable("no_proxy", "NO_PROXY");
    return std::make_shared<ManualHttpProxy>(httpList, noProxy ? ToBypassList(*noProxy) : std::string(),
                                             httpsList);
}

}  // namespace halcyne
