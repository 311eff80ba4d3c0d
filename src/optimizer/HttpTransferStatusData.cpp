#include "optimizer/HttpTransferStatusData.hpp"

namespace halcyne {

TransferError HttpTransferStatusData::ToTransferError() const {
    switch (status.result) {
        case HttpRequestResult::Success:
        case HttpRequestResult::Cancelled:
            return TransferError::None;
        case HttpRequestResult::BadUrl:
        case HttpRequestResult::OtherError:
        case HttpRequestResult::TooLarge:
            return TransferError::RequestError;
        case HttpRequestResult::ResolveFailed:
        case HttpRequestResult::ConnectFailed:
        case HttpRequestResult::ClientError:
        case HttpRequestResult::ServerError:
        case HttpRequestResult::TransmissionFailed:
        case HttpRequestResult::OutOfRange:
        case HttpRequestResult::TimedOut:
            return TransferError::ConnectionError;
        case HttpRequestResult::CertificateRefused:
            return TransferError::Unverified;
        case HttpRequestResult::WriteFailed:
            return TransferError::FileError;
        case HttpRequestResult::OutOfMemory:
            return TransferError::OutOfMemory;
        case HttpRequestResult::NotStarted:
        case HttpRequestResult::InProgress:
            break;
    }
    return TransferError::InternalError;
}

void HttpTransferStatusData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("hostname", hostname);
    if (!url.empty()) {
        tree.put("url", url);
    }
    tree.put("ip", status.ip);
    tree.put("httpResult", std::to_string(ToInt(status.result)));
    tree.put("httpResponseCode", std::to_string(status.responseCode));
    tree.put("bytesWritten", std::to_string(status.bytesWritten));
    tree.put("errorDetails", status.errorMessage);
    if (!status.curlErrorText.empty()) {
        tree.put("curlErrorText", status.curlErrorText);
    }
    tree.put("requestTimeMs", std::to_string(requestTimeMs));
}

std::string HttpTransferStatusData::ToErrorString() const {
    const TransferError error = ToTransferError();
    if (error == TransferError::None) {
        return std::string();
    }
    return "error|" + ToDecimal(error) + "|" + std::to_string(ToInt(status.result)) + "|" +
           status.errorMessage;
}

std::string HttpTransferStatusData::Cause() const {
    return FailureText(url.empty() ? hostname : url, status);
}

}  // namespace halcyne
