// A pool of reusable requests owned by one HttpSession. The request factory adds and acquires requests on
// the threads that create them; a PooledHttpRequestWrapper releases its request on whatever thread drops
// the wrapper. Lock order: the pool's lock before a request's lock, never the other way.
#pragma once

#include <memory>
#include <string>

#include "http/HttpRequest.hpp"

namespace halcyne {

class HttpRequestPool {
public:
    HttpRequestPool() = default;
    virtual ~HttpRequestPool() = default;
    HttpRequestPool(const HttpRequestPool&) = delete;
    HttpRequestPool& operator=(const HttpRequestPool&) = delete;

    // Makes the request a member; idle = true also queues it for reuse.
    virtual void Add(std::shared_ptr<HttpRequest> request, bool idle) = 0;
    // An idle member re-armed with these params and proxy, or an empty pointer when none can be.
    virtual std::shared_ptr<HttpRequest> Acquire(const HttpRequestParams& params,
                                                 const std::string& proxy) = 0;
    // Gives a member back for reuse; requests that are not members are ignored.
    virtual void Release(std::shared_ptr<HttpRequest> request) = 0;
};

}  // namespace halcyne
