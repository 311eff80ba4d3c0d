#include "common/Uri.hpp"

#include <algorithm>

#include "common/AsciiText.hpp"

namespace halcyne {

namespace {

// Printable ASCII characters that are encoded wherever they stand.
constexpr std::string_view AlwaysEncoded = "%<>{}|\\\"^`!*'()$,[]";

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

// A port as written after the host's ':': optional leading white space and '+', then digits, among which
// ',' (a thousands separator) is skipped; the text ends at a NUL byte. Nothing, or 0, when that is not a
// number from 1 to 65535.
std::uint16_t ParsePort(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::size_t i = 0;
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    if (i < text.size() && text[i] == '+') {
        ++i;
    }
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ',') {
            continue;
        }
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return 0;
        }
    }
    return static_cast<std::uint16_t>(value);
}

// The non-empty segments of `path`, in order.
void AppendSegments(std::string_view path, std::vector<std::string>& segments) {
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        if (slash > start) {
            segments.emplace_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
}

}  // namespace

void UriEncode(std::string_view text, std::string_view reserved, std::string& out) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(c)) {
            out += c;
        } else if (byte <= 0x20 || byte >= 0x7F || AlwaysEncoded.find(c) != std::string_view::npos ||
                   reserved.find(c) != std::string_view::npos) {
            out += '%';
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0x0F];
        } else {
            out += c;
        }
    }
}

std::string UriDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (text.size() - i < 3) {
            throw UriSyntaxError("a '%' without two hex digits after it in \"" + std::string(text) + "\"");
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            throw UriSyntaxError("a '%' not followed by two hex digits in \"" + std::string(text) + "\"");
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

Uri::Uri(std::string_view text) {
    if (text.empty()) {
        return;
    }
    // A scheme is what comes before the first ':' when neither '/', '?' nor '#' comes first; a text that
    // starts with '/', '.', '?' or '#' has none.
    if (text.find_first_of("/.?#") != 0) {
        const std::size_t end = text.find_first_of(":/?#");
        if (end != std::string_view::npos && text[end] == ':') {
            std::size_t pos = end + 1;
            if (pos == text.size()) {
                throw UriSyntaxError("nothing after the scheme of \"" + std::string(text) + "\"");
            }
            SetScheme(text.substr(0, end));
            if (text.compare(pos, 2, "//") == 0) {
                pos = ParseAuthority(text, pos + 2);
            }
            ParsePathEtc(text, pos);
            return;
        }
    }
    ParsePathEtc(text, 0);
}

Uri::Uri(std::string_view scheme, std::string_view authority) : scheme_(AsciiLower(scheme)) {
    ParseAuthority(authority, 0);
}

void Uri::SetScheme(std::string_view scheme) {
    scheme_ = AsciiLower(scheme);
    if (port_ == 0) {
        port_ = DefaultPort();
    }
}

void Uri::SetAuthority(std::string_view authority) {
    userInfo_.clear();
    host_.clear();
    port_ = 0;
    ParseAuthority(authority, 0);
}

void Uri::SetPath(std::string_view path) {
    path_ = UriDecode(path);
}

void Uri::Resolve(std::string_view reference) {
    const Uri relative(reference);
    if (!relative.scheme_.empty() || !relative.host_.empty()) {
        if (!relative.scheme_.empty()) {
            scheme_ = relative.scheme_;
        }
        userInfo_ = relative.userInfo_;
        host_ = relative.host_;
        port_ = relative.port_;
        path_ = relative.path_;
        query_ = relative.query_;
        RemoveDotSegments();
    } else if (relative.path_.empty()) {
        if (!relative.query_.empty()) {
            query_ = relative.query_;
        }
    } else {
        if (relative.path_.front() == '/') {
            path_ = relative.path_;
            RemoveDotSegments();
        } else {
            MergePath(relative.path_);
        }
        query_ = relative.query_;
    }
    fragment_ = relative.fragment_;
}

std::uint16_t Uri::Port() const {
    return port_ != 0 ? port_ : DefaultPort();
}

std::string Uri::Authority() const {
    std::string authority;
    if (!userInfo_.empty()) {
        authority += userInfo_;
        authority += '@';
    }
    if (host_.find(':') != std::string::npos) {
        authority += '[' + host_ + ']';
    } else {
        authority += host_;
    }
    if (port_ != 0 && port_ != DefaultPort()) {
        authority += ':' + std::to_string(port_);
    }
    return authority;
}

std::string Uri::Query() const {
    return UriDecode(query_);
}

std::string Uri::ToString() const {
    std::string url;
    if (scheme_.empty()) {
        UriEncode(path_, "?#", url);
    } else {
        url = scheme_ + ':';
        const std::string authority = Authority();
        if (!authority.empty() || scheme_ == "file") {
            url += "//" + authority;
        }
        if (!path_.empty()) {
            if (!authority.empty() && path_.front() != '/') {
                url += '/';
            }
            UriEncode(path_, "?#", url);
        } else if (!query_.empty() || !fragment_.empty()) {
            url += '/';
        }
    }
    if (!query_.empty()) {
        url += '?' + query_;
    }
    if (!fragment_.empty()) {
        url += '#';
        UriEncode(fragment_, "", url);
    }
    return url;
}

std::uint16_t Uri::DefaultPort() const {
    if (scheme_ == "http") {
        return 80;
    }
    if (scheme_ == "https") {
        return 443;
    }
    return 0;
}

void Uri::ParsePathEtc(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) {
        return;
    }
    if (text[pos] != '?' && text[pos] != '#') {
        const std::size_t end = std::min(text.find_first_of("?#", pos), text.size());
        path_ = UriDecode(text.substr(pos, end - pos));
        pos = end;
    }
    if (pos < text.size() && text[pos] == '?') {
        const std::size_t end = std::min(text.find('#', pos + 1), text.size());
        query_ = std::string(text.substr(pos + 1, end - pos - 1));
        pos = end;
    }
    if (pos < text.size() && text[pos] == '#') {
        fragment_ = UriDecode(text.substr(pos + 1));
    }
}

std::size_t Uri::ParseAuthority(std::string_view text, std::size_t pos) {
    const std::size_t end = std::min(text.find_first_of("/?#", pos), text.size());
    std::string_view hostAndPort = text.substr(pos, end - pos);
    // Each '@' ends the user information: with several, the part between the last two is kept.
    std::string userInfo;
    for (std::size_t at = hostAndPort.find('@'); at != std::string_view::npos; at = hostAndPort.find('@')) {
        userInfo = std::string(hostAndPort.substr(0, at));
        hostAndPort.remove_prefix(at + 1);
    }
    ParseHostAndPort(hostAndPort);
    userInfo_ = std::move(userInfo);
    return end;
}

void Uri::ParseHostAndPort(std::string_view text) {
    if (text.empty()) {
        return;
    }
    std::string host;
    std::size_t pos = 0;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            throw UriSyntaxError("an unterminated IPv6 address in \"" + std::string(text) + "\"");
        }
        host = std::string(text.substr(1, close - 1));
        pos = close + 1;
    } else {
        pos = std::min(text.find(':'), text.size());
        host = std::string(text.substr(0, pos));
    }
    if (pos < text.size() && text[pos] == ':' && pos + 1 < text.size()) {
        const std::string_view port = text.substr(pos + 1);
        port_ = ParsePort(port);
        if (port_ == 0) {
            throw UriSyntaxError("a bad port number \"" + std::string(port) + "\"");
        }
    } else {
        port_ = DefaultPort();
    }
    host_ = AsciiLower(host);
}

void Uri::RemoveDotSegments() {
    if (path_.empty()) {
        return;
    }
    const bool leadingSlash = path_.front() == '/';
    const bool trailingSlash = path_.back() == '/';
    std::vector<std::string> segments;
    AppendSegments(path_, segments);
    std::vector<std::string> kept;
    for (std::string& segment : segments) {
        if (segment == "..") {
            // A ".." above the root is dropped.
            if (!kept.empty()) {
                if (kept.back() == "..") {
                    kept.push_back(std::move(segment));
                } else {
                    kept.pop_back();
                }
            }
        } else if (segment != ".") {
            kept.push_back(std::move(segment));
        }
    }
    BuildPath(kept, leadingSlash, trailingSlash);
}

void Uri::MergePath(std::string_view relative) {
    std::vector<std::string> segments;
    bool leadingSlash = false;
    if (!path_.empty()) {
        AppendSegments(path_, segments);
        // The base's last segment is a file, not a folder, unless the path ends with '/'.
        if (path_.back() != '/' && !segments.empty()) {
            segments.pop_back();
        }
        leadingSlash = path_.front() == '/';
    }
    AppendSegments(relative, segments);
    leadingSlash = leadingSlash || (!relative.empty() && relative.front() == '/');
    // A path that ends in "." or ".." names a folder and keeps a trailing '/'.
    bool trailingSlash = !relative.empty() && relative.back() == '/';
    bool endsInDots = false;
    std::vector<std::string> kept;
    for (std::string& segment : segments) {
        if (segment == "..") {
            endsInDots = true;
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (segment == ".") {
            endsInDots = true;
        } else {
            endsInDots = false;
            kept.push_back(std::move(segment));
        }
    }
    BuildPath(kept, leadingSlash, trailingSlash || endsInDots);
}

void Uri::BuildPath(const std::vector<std::string>& segments, bool leadingSlash, bool trailingSlash) {
    path_.clear();
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) {
            path_ += '/';
        } else if (leadingSlash) {
            path_ += '/';
        } else if (scheme_.empty() && segments[i].find(':') != std::string::npos) {
            // A first segment with ':' would read as a scheme.
            path_ += "./";
        }
        path_ += segments[i];
    }
    if (trailingSlash) {
        path_ += '/';
    }
}

}  // namespace halcyne
