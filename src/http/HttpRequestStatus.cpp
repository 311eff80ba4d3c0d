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
    }
    return "Unknown";
}

}  // namespace halcyne
