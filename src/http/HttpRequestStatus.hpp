// The outcome of an HTTP request, and of one piece handed to a writer.
// Plain values copied between threads: the request fills them under its own lock and hands out copies.
#pragma once

#include <cstdint>
#include <string>

namespace halcyne {

// One byte; written to JSON as its decimal value.
enum class HttpRequestResult : std::uint8_t {
    NotStarted = 0,           // armed, not yet performed
    InProgress = 1,           // perform running
    Success = 2,              // completed without error
    Cancelled = 3,            // cancelled before or during perform
    BadUrl = 4,               // unsupported protocol, malformed URL, or feature not built in
    ResolveFailed = 5,        // the proxy or host name did not resolve
    ConnectFailed = 6,        // no connection was made
    ClientError = 7,          // HTTP status below 500, remote access denied, remote file not found
    ServerError = 8,          // the same with an HTTP status of 500 or more
    TransmissionFailed = 9,   // sending or receiving failed
    WriteFailed = 10,         // the writer did not take the data
    OutOfRange = 11,          // partial body, range error, or the writer got data outside its bounds
    TimedOut = 12,            // a time-out or the low-speed limit struck
    OutOfMemory = 13,         // memory exhausted (libcurl or writer)
    OtherError = 14,          // any other failure
    TooLarge = 15,            // the body is larger than the request allows (announced or as received)
    CertificateRefused = 16,  // the https server's certificate, or the trust store to check it, was refused
};

// The decimal value of a result, as JSON and logs carry it.
inline int ToInt(HttpRequestResult result) {
    return static_cast<int>(result);
}

// The name of a result ("TimedOut"), for messages and test output.
const char* ToString(HttpRequestResult result);

struct HttpRequestStatus;

// A failed request in a few words, naming its URL: "HTTP 404 for <url>" when the server answered with an
// error status, else "<url>: " and libcurl's text (or the request's message, or the result's name).
std::string FailureText(const std::string& url, const HttpRequestStatus& status);

struct HttpRequestStatus {
    HttpRequestResult result = HttpRequestResult::NotStarted;  // outcome so far
    std::uint64_t bytesWritten = 0;  // sum of the byte counts the writer reported as taken
    std::int32_t responseCode = 0;   // last HTTP status code seen (0 when none)
    std::string ip;                  // address of the server actually connected (empty when none)
    std::string errorMessage;        // empty on success
    // libcurl's own text for a failed transfer (its error buffer, or its text for the code when the buffer
    // is empty), kept apart from errorMessage so that the message keeps its fixed form; empty on success and
    // for failures that libcurl did not report (a cancel, a writer's refusal).
    std::string curlErrorText;

    // Shorthands for a writer's answer to one piece.
    static HttpRequestStatus Written(std::uint64_t bytes) {
        HttpRequestStatus status;
        status.result = HttpRequestResult::Success;
        status.bytesWritten = bytes;
        return status;
    }
    static HttpRequestStatus Failed(HttpRequestResult result, std::uint64_t bytes = 0,
                                    std::string message = {}) {
        HttpRequestStatus status;
        status.result = result;
        status.bytesWritten = bytes;
        status.errorMessage = std::move(message);
        return status;
    }
};

}  // namespace halcyne
