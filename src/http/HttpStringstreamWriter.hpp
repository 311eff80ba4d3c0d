// A writer that collects the body in a stream (manifests, analytics answers). Runs on the thread of the
// request's Perform; calls nothing back.
#pragma once

#include <iostream>

#include "http/HttpWriteCallback.hpp"

namespace halcyne {

class HttpStringstreamWriter : public HttpWriteCallback {
public:
    // stream is not owned and must outlive every Write.
    explicit HttpStringstreamWriter(std::iostream* stream) : stream_(stream) {}

    // Length 0: Success with 0 bytes. Otherwise an unformatted write; WriteFailed with 0 bytes when the
    // stream then shows any error bit, else Success with length bytes.
    HttpRequestStatus Write(const char* data, std::size_t length) override;

private:
    std::iostream* stream_;
};

}  // namespace halcyne
