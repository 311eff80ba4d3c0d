// The outcome of one chunk request: the node's host, the request's final status and its duration.
// Created by the chunk request work once the request has finished, then immutable and shared by pointer
// between threads (the optimizer reads it when the attempt is reported; the transfer, events and log describe
// it).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/TransferError.hpp"
#include "http/HttpRequestStatus.hpp"

namespace halcyne {

class HttpTransferStatusData : public TransferStatusData {
public:
    HttpTransferStatusData(std::string hostname, HttpRequestStatus status, std::int32_t requestTimeMs,
                           std::string url = {})
        : hostname(std::move(hostname)),
          status(std::move(status)),
          requestTimeMs(requestTimeMs),
          url(std::move(url)) {}
    ~HttpTransferStatusData() override = default;

    // None for a request that succeeded or was cancelled; ConnectionError for network and HTTP failures;
    // Unverified for a refused server certificate; FileError when the bytes could not be written;
    // RequestError for a refused URL or another failure; InternalError for a request that has not finished.
    TransferError ToTransferError() const override;
    // "hostname", "url" (when known), "ip", "httpResult", "httpResponseCode", "bytesWritten",
    // "errorDetails" (the request's message), "curlErrorText" (libcurl's own text, only when there is one),
    // "requestTimeMs".
    void Describe(boost::property_tree::ptree& tree) const override;
    // Empty when ToTransferError() is None, else "error|<kind>|<http result>|<error message>".
    std::string ToErrorString() const override;
    // The failed request in a few words, naming its URL (the host when the URL is not known).
    std::string Cause() const override;

    const std::string hostname;        // the host of the node the request went to
    const HttpRequestStatus status;    // the request's final status
    const std::int32_t requestTimeMs;  // the measured duration of the request
    const std::string url;             // the URL requested; empty when not known
};

}  // namespace halcyne
