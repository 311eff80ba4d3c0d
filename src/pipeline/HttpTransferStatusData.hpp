// The outcome of one chunk request: the node's host, the request's final status and its duration.
// Created by the chunk request work once the request has finished, then immutable and shared by pointer
// between threads (the optimizer reads it when the attempt is reported).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "http/HttpRequestStatus.hpp"

namespace halcyne {

class HttpTransferStatusData {
public:
    HttpTransferStatusData(std::string hostname, HttpRequestStatus status, std::int32_t requestTimeMs)
        : hostname(std::move(hostname)), status(std::move(status)), requestTimeMs(requestTimeMs) {}
    virtual ~HttpTransferStatusData() = default;

    const std::string hostname;        // the host of the node the request went to
    const HttpRequestStatus status;    // the request's final status
    const std::int32_t requestTimeMs;  // the measured duration of the request
};

}  // namespace halcyne
