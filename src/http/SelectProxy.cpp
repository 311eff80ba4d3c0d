#include "http/SelectProxy.hpp"

#include <vector>

#include "common/Uri.hpp"

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

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the whole of `text` matches `pattern`, where '*' matches any run of characters and every other
// character itself in either letter case. Iterative, at most length(text) x length(pattern) steps: a
// bypass entry from the environment can neither exhaust the stack nor backtrack for ever, as a regular
// expression built from it could (a long entry, or many stars before a mismatch).
bool WildcardMatch(const std::string& text, const std::string& pattern) {
    std::size_t t = 0;
    std::size_t p = 0;
    std::size_t star = std::string::npos;  // position of the last '*' seen in the pattern
    std::size_t resume = 0;                // where in the text that star's run currently ends
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

bool IsBypassed(const std::string& host, const std::string& bypassList) {
    const std::string bracketed = "[" + host + "]";
    const bool ipv6 = host.find(':') != std::string::npos;
    for (const std::string& entry : SplitEntries(bypassList)) {
        if (WildcardMatch(host, entry) || (ipv6 && WildcardMatch(bracketed, entry))) {
            return true;
        }
    }
    return false;
}

std::string SelectProxy(const std::string& url, const std::string& proxyList, const std::string& bypassList) {
    const std::string host = Uri(url).Host();
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
