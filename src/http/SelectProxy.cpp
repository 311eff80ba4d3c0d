#include "http/SelectProxy.hpp"

#include <regex>
#include <vector>

#include <Poco/URI.h>

namespace halcyne {

namespace {

std::vector<std::string> SplitEntries(const std::string& list) {
    std::vector<std::string> entries;
    std::string current;
    for (const char c : list) {
        if (c == ';' || c == ' ') {
            if (!current.empty()) {
                entries.push_back(std::move(current));
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        entries.push_back(std::move(current));
    }
    return entries;
}

// "^entry$" with every character literal but '*', which matches any run of characters.
std::string BypassPattern(const std::string& entry) {
    std::string pattern = "^";
    for (const char c : entry) {
        if (c == '*') {
            pattern += ".*";
        } else if (std::string("\\^$.|?+()[]{}/-").find(c) != std::string::npos) {
            pattern.push_back('\\');
            pattern.push_back(c);
        } else {
            pattern.push_back(c);
        }
    }
    return pattern + "$";
}

}  // namespace

bool IsBypassed(const std::string& host, const std::string& bypassList) {
    std::vector<std::string> forms{host};
    if (host.find(':') != std::string::npos) {
        forms.push_back("[" + host + "]");
    }
    for (const std::string& entry : SplitEntries(bypassList)) {
        try {
            const std::regex pattern(BypassPattern(entry), std::regex::ECMAScript | std::regex::icase);
            for (const std::string& form : forms) {
                if (std::regex_match(form, pattern)) {
                    return true;
                }
            }
        } catch (const std::regex_error&) {
            // An entry that cannot be compiled matches nothing; the other entries still count.
        }
    }
    return false;
}

std::string SelectProxy(const std::string& url, const std::string& proxyList, const std::string& bypassList) {
    const std::string host = Poco::URI(url).getHost();
    const std::vector<std::string> entries = SplitEntries(proxyList);
    if (entries.empty()) {
        return {};
    }
    std::string http;
    std::string plain;
    for (const std::string& entry : entries) {
        if (http.empty() && entry.rfind("http=", 0) == 0) {
            http = entry.substr(5);
        } else if (plain.empty() && entry.find('=') == std::string::npos) {
            plain = entry;
        }
    }
    const std::string chosen = http.empty() ? plain : http;
    if (chosen == ":" || chosen == "::" || IsBypassed(host, bypassList)) {
        return {};
    }
    return chosen;
}

}  // namespace halcyne
