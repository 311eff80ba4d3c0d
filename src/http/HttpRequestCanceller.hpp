// Lets another thread stop a synchronous request in flight: the performing thread attaches its request for
// the duration of Perform, and any thread may Cancel, which cancels the attached request and every request
// attached afterwards until Rearm. Used by the manifest fetches, whose works are interrupted from the
// workflow's thread while they wait on the manifest service.
//
// Lock order: the canceller's lock is never held while calling the request (Cancel copies the pointer).
#pragma once

#include <memory>
#include <mutex>

namespace halcyne {

class HttpRequest;

class HttpRequestCanceller {
public:
    HttpRequestCanceller() = default;
    HttpRequestCanceller(const HttpRequestCanceller&) = delete;
    HttpRequestCanceller& operator=(const HttpRequestCanceller&) = delete;

    // Cancels the attached request, if any, and every request attached until Rearm.
    void Cancel();
    // Lets later requests run again (a work calls this when it is reset for a new run).
    void Rearm();
    bool IsCancelled() const;

    // Called by the performing thread around Perform. Attach cancels the request at once when the canceller
    // is cancelled, so that Perform returns without running it.
    void Attach(std::shared_ptr<HttpRequest> request);
    void Detach();

private:
    mutable std::mutex mutex_;  // guards cancelled_ and request_
    bool cancelled_ = false;
    std::shared_ptr<HttpRequest> request_;
};

// Attaches a request for the scope.
class HttpRequestCancellerScope {
public:
    HttpRequestCancellerScope(HttpRequestCanceller* canceller, std::shared_ptr<HttpRequest> request);
    ~HttpRequestCancellerScope();
    HttpRequestCancellerScope(const HttpRequestCancellerScope&) = delete;
    HttpRequestCancellerScope& operator=(const HttpRequestCancellerScope&) = delete;

private:
    HttpRequestCanceller* const canceller_;
};

}  // namespace halcyne
