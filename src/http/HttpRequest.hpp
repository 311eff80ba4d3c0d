// One HTTP exchange, run synchronously. Perform runs on the caller's thread (a work-manager thread) and
// calls the params' writer from there; GetStatus, Cancel and Reset may come from any thread at any time.
// A finished request can be re-armed with Reset, keeping its connection (request pools rely on that).
#pragma once

#include <memory>
#include <string>

#include "http/HttpRequestParams.hpp"
#include "http/HttpRequestStatus.hpp"

namespace halcyne {

class HttpRequest {
public:
    virtual ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Runs the request to its end if it is armed (NotStarted), blocking, then returns GetStatus(). A request
    // in any other state is not run again: the call only returns its status.
    virtual HttpRequestStatus Perform() = 0;
    // A copy of the status, taken under the request's lock.
    virtual HttpRequestStatus GetStatus() const = 0;
    // NotStarted or InProgress become Cancelled (a running perform stops at libcurl's next progress call);
    // any other state stays.
    virtual void Cancel() = 0;
    // Re-arms a finished or never-started request with new params and proxy ("" = direct). Returns false, and
    // changes nothing, while a perform is running or has not yet returned.
    virtual bool Reset(const HttpRequestParams& params, const std::string& proxy) = 0;

protected:
    // A request without params (a wrapper that forwards to another request).
    HttpRequest();
    HttpRequest(const HttpRequestParams& params, std::string proxy);

    // The request's own copy of its params, replaced as a whole by Reset; empty for wrappers.
    std::unique_ptr<HttpRequestParams> params_;
    std::string proxy_;  // "host:port" (or a URL) as libcurl takes it; "" = direct connection
};

}  // namespace halcyne
