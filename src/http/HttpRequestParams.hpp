// What a request is asked to do: a plain record copied by value into every request.
// Built by the caller on its own thread; requests keep their own copy.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace halcyne {

class HttpWriteCallback;

enum class HttpMethod : int {
    Get = 0,
    Post = 1,
};

// rangeEnd meaning "up to the end of the resource".
inline constexpr std::uint64_t HttpRangeToEnd = std::numeric_limits<std::uint64_t>::max();

// "Vantrel Halcyne TransferService 0.9": the User-Agent of every request unless a caller sets another.
const std::string& DefaultUserAgent();

struct HttpRequestParams {
    // Every field but url and writer at its default.
    HttpRequestParams(std::string url, HttpWriteCallback* writer);

    std::string url;            // absolute URL (http or https)
    HttpWriteCallback* writer;  // not owned; receives the body and must outlive Perform
    HttpMethod method = HttpMethod::Get;
    std::string body;                                               // POST body, sent up to its first NUL
    std::string contentType = "application/x-www-form-urlencoded";  // sent only for POST
    std::string acceptEncoding;    // accepted encodings; used only when the whole resource is asked for
    std::uint64_t rangeStart = 0;  // first byte wanted
    std::uint64_t rangeEnd = HttpRangeToEnd;  // last byte wanted (inclusive)
    std::int32_t connectTimeout = 5;          // seconds, connect phase
    std::int32_t timeout = 0;                 // seconds, whole request; 0 is no limit
    std::int32_t lowSpeedLimit = 0;           // bytes per second: abort when slower than this ...
    std::int32_t lowSpeedTime = 0;  // ... for this many seconds; both must be positive to take effect
    std::string userAgent;          // User-Agent header; DefaultUserAgent() unless changed
    // The largest body the request takes, in bytes; 0 is no limit. A larger announced length (Content-Length)
    // ends the request as TooLarge before any body byte; a body without one is for the writer to count.
    std::uint64_t maxBodyBytes = 0;
    // Asks every cache on the way (a CDN's edge, a caching proxy) for a copy validated with the origin
    // server rather than the one it stored: sends "Cache-Control: no-cache", and "Pragma: no-cache" for
    // caches that speak HTTP/1.0.
    bool revalidate = false;

    // True when the whole resource is asked for (no Range header is sent).
    bool IsWholeResource() const { return rangeStart == 0 && rangeEnd == HttpRangeToEnd; }
};

}  // namespace halcyne
