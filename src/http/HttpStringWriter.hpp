// A writer that collects a body in a string, up to a limit (manifests, node lists, signatures). Runs on the
// thread of the request's Perform; calls nothing back.
#pragma once

#include <cstdint>
#include <string>

#include "http/HttpWriteCallback.hpp"

namespace halcyne {

class HttpStringWriter : public HttpWriteCallback {
public:
    // `into` is not owned and must outlive every Write; bytes are appended to it. maxBytes 0 is no limit.
    HttpStringWriter(std::string* into, std::uint64_t maxBytes) : into_(into), maxBytes_(maxBytes) {}

    // Length 0: Success with 0 bytes. A piece that would take the string past the limit is refused whole
    // with TooLarge (and Exceeded() turns true), so a server that announces no length is stopped as soon
    // as it sends more than the limit. The string grows by doubling but its capacity never passes the
    // limit, so refusing a body costs at most one and a half times the limit in memory (the old and the
    // new buffer while it grows). A failed allocation is OutOfMemory.
    HttpRequestStatus Write(const char* data, std::size_t length) override;

    bool Exceeded() const { return exceeded_; }

private:
    std::string* into_;
    const std::uint64_t maxBytes_;
    bool exceeded_ = false;
};

}  // namespace halcyne
