// Where the body of a response goes. A request calls Write on the thread that runs its Perform, once per
// block libcurl delivers, never while holding the request's lock: a writer may call GetStatus or Cancel of
// its own request.
#pragma once

#include <cstddef>

#include "http/HttpRequestStatus.hpp"

namespace halcyne {

class HttpWriteCallback {
public:
    virtual ~HttpWriteCallback() = default;

    // Consumes one piece of the body. Only result, bytesWritten and errorMessage carry meaning: Success with
    // bytesWritten == length accepts the piece; Success with fewer bytes, or any failure, stops the request
    // (OutOfRange, OutOfMemory and TooLarge are taken over as they are, anything else becomes WriteFailed).
    virtual HttpRequestStatus Write(const char* data, std::size_t length) = 0;
};

}  // namespace halcyne
