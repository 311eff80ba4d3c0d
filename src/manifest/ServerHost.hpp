// How a deployment names a server (the manifest service, a content node): "host[:port]", reached over
// http, or the same with a scheme written before it, "https://host[:port]" (or "http://host[:port]").
// Pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace halcyne {

struct ServerHost {
    std::string scheme;     // "http" or "https"
    std::string authority;  // host[:port], as written after the scheme
};

// Splits a leading "https://" or "http://" (in any letter case) off the text; without one the scheme is
// "http" and the whole text is the authority. Nothing is validated here.
ServerHost SplitServerHost(std::string_view text);

// The one spelling of a server: the authority alone for http, "https://" + authority for https, so that a
// node written "http://a:1" and one written "a:1" are the same node, and an https node never shares its
// name (nor the optimizer's statistics) with a plain one.
std::string CanonicalServerHost(const ServerHost& host);

// The host rule of node lists: an optional scheme as above, then host[:port] (IsHostAndPort).
bool IsServerHost(std::string_view text);

}  // namespace halcyne
