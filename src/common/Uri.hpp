// URLs as the engine reads and writes them: percent-encoding, splitting a URL into its parts, and resolving
// a relative reference against a base. Plain values and pure functions, callable from any thread.
//
// The model follows the URLs the engine has always written, byte for byte: the path and the fragment are
// held decoded and encoded again when the URL is written, the query is held as written; the scheme and the
// host are held in lower case; a port equal to the scheme's default (80 for http, 443 for https) is left
// out of the authority. Only a URL that starts with "scheme:" has an authority ("scheme://authority");
// anything else is a path, query and fragment.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halcyne {

// A URL, authority or escape that cannot be read: a port that is not a number from 1 to 65535, an
// unterminated "[" address, a '%' not followed by two hex digits, a scheme with nothing after its ':'.
class UriSyntaxError : public std::exception {
public:
    explicit UriSyntaxError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Appends `text` to `out` with every byte percent-encoded (upper-case hex) but letters, digits, "-._~" and
// the printable ASCII characters that may stand in a URL as they are (reserved characters included):
// space, control bytes, DEL, bytes beyond ASCII, "%<>{}|\\\"^`!*'()$,[]" and every character of
// `reserved` are encoded.
void UriEncode(std::string_view text, std::string_view reserved, std::string& out);

// `text` with every %XX escape decoded; any other byte is kept. UriSyntaxError when a '%' is not followed
// by two hex digits.
std::string UriDecode(std::string_view text);

class Uri {
public:
    Uri() = default;
    // Parses `text` (see the top of this file). UriSyntaxError when it cannot be read.
    explicit Uri(std::string_view text);
    // A URL of `scheme`, `authority` (parsed as by SetAuthority) and no path.
    Uri(std::string_view scheme, std::string_view authority);

    // Lower-cased; the port becomes the scheme's default when none is set.
    void SetScheme(std::string_view scheme);
    // "[userinfo@]host[:port]", "[v6]" for an IPv6 host; parsing stops at the first '/', '?' or '#'.
    // An empty port is the scheme's default. UriSyntaxError for a bad port or an unterminated '['.
    void SetAuthority(std::string_view authority);
    // `path` as written in a URL: its escapes are decoded. UriSyntaxError for a bad escape.
    void SetPath(std::string_view path);
    // Resolves `reference` (parsed as a URL) against this one: a reference with a scheme replaces it, an
    // absolute path replaces the path, a relative path is merged with this path's folder; dot segments are
    // removed; an empty path keeps this path (and, without a query of its own, this query).
    void Resolve(std::string_view reference);

    const std::string& Scheme() const { return scheme_; }
    const std::string& UserInfo() const { return userInfo_; }
    const std::string& Host() const { return host_; }
    // The port as written or the scheme's default; 0 when neither is known.
    std::uint16_t Port() const;
    // "[userinfo@]host[:port]", the port left out when it is the scheme's default.
    std::string Authority() const;
    // Decoded.
    const std::string& Path() const { return path_; }
    // As written.
    const std::string& RawQuery() const { return query_; }
    // Decoded; UriSyntaxError for a bad escape.
    std::string Query() const;
    // Decoded.
    const std::string& Fragment() const { return fragment_; }

    // The URL: "scheme:" and "//authority" (when there is one) before the encoded path, '?' and the query
    // as held, '#' and the encoded fragment; without a scheme, the path, query and fragment only.
    std::string ToString() const;

private:
    std::uint16_t DefaultPort() const;
    // Reads text[pos...] as path, query and fragment.
    void ParsePathEtc(std::string_view text, std::size_t pos);
    // Reads the authority that starts at text[pos] and returns where it ended.
    std::size_t ParseAuthority(std::string_view text, std::size_t pos);
    void ParseHostAndPort(std::string_view hostAndPort);
    void RemoveDotSegments();
    void MergePath(std::string_view relative);
    void BuildPath(const std::vector<std::string>& segments, bool leadingSlash, bool trailingSlash);

    std::string scheme_;
    std::string userInfo_;
    std::string host_;
    std::uint16_t port_ = 0;
    std::string path_;
    std::string query_;
    std::string fragment_;
};

}  // namespace halcyne
