// Picks the proxy for a URL out of a proxy list and a bypass list in the form desktop proxy settings use
// ("http=host:port;host:port", "*.example;intranet"). Pure functions, callable from any thread.
#pragma once

#include <string>

namespace halcyne {

// The proxy for `url`: the first "http=" entry of the list (its value), else its first entry without "=";
// "" (direct) when there is none, when that entry is ":" or "::", or when the URL's host is bypassed.
// Entries are separated by ';' and spaces. Throws when the URL cannot be parsed.
std::string SelectProxy(const std::string& url, const std::string& proxyList, const std::string& bypassList);

// Whether `host` matches an entry of the bypass list: '*' matches any run of characters, every other
// character only itself, letters in either case. An IPv6 host also matches its bracketed form ("[::1]").
// Never throws; time bounded by the product of the lengths.
bool IsBypassed(const std::string& host, const std::string& bypassList);

}  // namespace halcyne
