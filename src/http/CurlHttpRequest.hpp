// The libcurl implementation of HttpRequest: one easy handle per request object, kept across Reset so that
// its connection cache survives re-arming. Perform and both libcurl callbacks run on the thread that calls
// Perform; the write callback calls the params' writer outside the request's lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "http/HttpRequest.hpp"
#include "http/RateLimit.hpp"

typedef void CURL;
struct curl_slist;

namespace halcyne {

class CurlHttpRequest : public HttpRequest {
public:
    // Throws std::runtime_error "libcurl could not be initialized" when libcurl's global initialisation
    // failed, and "curl_easy_init failed" when no handle can be made. https URLs are verified (certificate
    // chain and host name) against caBundle, a PEM file of trusted certificates, or against the system's
    // store when it is empty; the bundle stays with the request across Reset.
    // rateLimit: every received block passes through it before it is written (none: no limit).
    CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy, std::string caBundle = {},
                    RateLimit* rateLimit = nullptr);
    ~CurlHttpRequest() override;

    HttpRequestStatus Perform() override;
    HttpRequestStatus GetStatus() const override;
    void Cancel() override;
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

    // libcurl code → result, for a response code seen (the table the request applies after a perform).
    static HttpRequestResult MapCurlCode(int code, long responseCode);
    // True for the libcurl codes of a failed TLS handshake, certificate or trust store.
    static bool IsTlsFailure(int code);
    // The trust store to name when none is configured: "" while libcurl's built-in bundle (`builtIn`, the
    // path of the system it was built on) is readable, else the first readable of `candidates`, the places
    // other distributions keep theirs; "" when none is. Lets one build verify servers on any distribution.
    static std::string FallbackCaBundle(const std::string& builtIn,
                                        const std::vector<std::string>& candidates);

private:
    // The libcurl callbacks (defined with libcurl's own types in the implementation).
    struct Callbacks;
    friend struct Callbacks;

    // Sets every option of the handle from params_ and proxy_. Called at construction and by Reset (under
    // the lock there; nothing else touches the handle while no perform runs).
    void Prepare();
    // Folds a writer's answer into the status; returns the byte count to hand back to libcurl.
    std::size_t ApplyWriterStatus(const HttpRequestStatus& written, std::size_t offered);
    // False (and the status set to OutOfRange) when a ranged request that starts past byte 0 got a whole
    // resource (HTTP 200): those bytes would belong at the start of the file, not at rangeStart.
    bool CheckRangeAnswer();

    const std::string caBundle_;  // "" for the system's store
    RateLimit* const rateLimit_;  // not owned; may be null
    CURL* handle_ = nullptr;
    curl_slist* headers_ = nullptr;  // the header list attached to the handle, or none
    bool rangeChecked_ = false;      // touched only by the performing thread
    // libcurl's text for the last failure (which check failed, which file it could not read); written by
    // libcurl during a perform, read after it.
    char errorText_[256] = {};

    mutable std::mutex mutex_;  // guards performing_ and status_ (and params_/proxy_ while Reset swaps them)
    bool performing_ = false;   // true from the start of a perform until libcurl has returned
    HttpRequestStatus status_;
};

}  // namespace halcyne
