#include "http/HttpRequestStatus.hpp"

namespace halcyne {

const char* ToString(HttpRequestResult result) {
    switch (result) {
        case HttpRequestResult::NotStarted:
            return "NotStarted";
        case HttpRequestResult::InProgress:
            return "InProgress";
        case HttpRequestResult::Success:
            return "Success";
        case HttpRequestResult::Cancelled:
            return "Cancelled";
        case HttpRequestResult::BadUrl:
            return "BadUrl";
        case HttpRequestResult::ResolveFailed:
            return "ResolveFailed";
        case HttpRequestResult::ConnectFailed:
            return "ConnectFailed";
        case HttpRequestResult::ClientError:
            return "ClientError";
        case HttpRequestResult::ServerError:
            return "ServerError";
        case HttpRequestResult::TransmissionFailed:
            return "TransmissionFailed";
        case HttpRequestResult::WriteFailed:
            return "WriteFailed";
        case HttpRequestResult::OutOfRange:
            return "OutOfRange";
        case HttpRequestResult::TimedOut:
            return "TimedOut";
        case HttpRequestResult::OutOfMemory:
            return "OutOfMemory";
        case HttpRequestResult::OtherError:
            return "OtherError";
        case HttpRequestResult::TooLarge:
            return "TooLarge";
        case HttpRequestResult::CertificateRefused:
            return "CertificateRefused";
    }
    return "Unknown";
}

std::string FailureText(const std::string& url, const HttpRequestStatus& status) {
    if (status.responseCode >= 400) {
        return "HTTP " + std::to_string(status.responseCode) + " for " + url;
    }
    const std::string& text = !status.curlErrorText.empty()  ? status.curlErrorText
                              : !status.errorMessage.empty() ? status.errorMessage
                                                             : std::string(ToString(status.result));
    return url + ": " + text;
}

}  // namespace halcyne
