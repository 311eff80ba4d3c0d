// Proxy selection with hostile settings: the input is split at NUL bytes into a URL, a proxy list, a bypass
// list and a no_proxy value. SelectProxy may throw only for a URL it cannot parse; whatever it returns is
// "" or one of the list's values; the bypass matcher agrees with a plain table-driven wildcard match on short
// inputs (a host with a colon also in brackets); the no_proxy conversion yields entries the matcher takes. A
// crash, a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/SelectProxy.hpp"
#include "http/posix/EnvironmentHttpProxyFactory.hpp"

using namespace halcyne;

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The textbook table: matches[i][j] says whether text[i..] matches pattern[j..].
bool Reference(const std::string& text, const std::string& pattern) {
    std::vector<std::vector<char>> matches(text.size() + 1, std::vector<char>(pattern.size() + 1, 0));
    matches[text.size()][pattern.size()] = 1;
    for (std::size_t i = text.size() + 1; i-- > 0;) {
        for (std::size_t j = pattern.size(); j-- > 0;) {
            if (pattern[j] == '*') {
                matches[i][j] = matches[i][j + 1] || (i < text.size() && matches[i + 1][j]);
            } else {
                matches[i][j] =
                    i < text.size() && Lower(text[i]) == Lower(pattern[j]) && matches[i + 1][j + 1];
            }
        }
    }
    return matches[0][0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 4) {
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<char>(data[i]));
        }
    }
    parts.resize(4);
    const std::string& url = parts[0];
    const std::string& proxyList = parts[1];
    const std::string& bypass = parts[2];

    std::string chosen;
    try {
        chosen = SelectProxy(url, proxyList, bypass);
    } catch (const std::exception&) {
        return 0;  // an unparsable URL
    }
    if (!chosen.empty() && proxyList.find(chosen) == std::string::npos) {
        std::abort();
    }

    // The matcher against the reference, on inputs small enough for the reference's backtracking. Entries
    // are what the list holds between ';' and ' '.
    if (url.size() <= 64 && bypass.size() <= 64 && bypass.find_first_of("; ") == std::string::npos &&
        !bypass.empty()) {
        const std::string bracketed = "[" + url + "]";
        const bool expected =
            Reference(url.c_str(), bypass.c_str()) ||
            (url.find(':') != std::string::npos && Reference(bracketed.c_str(), bypass.c_str()));
        if (IsBypassed(url, bypass) != expected) {
            std::abort();
        }
    }

    const std::string converted = EnvironmentHttpProxyFactory::ToBypassList(parts[3]);
    IsBypassed(url, converted);
    return 0;
}
