#include <new>
#include <stdexcept>
#include <typeinfo>

#include <gtest/gtest.h>

#include "file/FileException.hpp"
#include "manifest/ManifestException.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "pipeline/TransferStatusData.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

template <typename E>
std::exception_ptr Captured(E exception) {
    return std::make_exception_ptr(std::move(exception));
}

// The keys of a description in order, each with its value: "key=value;...".
std::string Keys(const WorkDescriptor& data) {
    ptree tree;
    data.Describe(tree);
    std::string text;
    for (const auto& [key, child] : tree) {
        text += key + "=" + child.data() + ";";
    }
    return text;
}

TEST(TransferStatusDataTest, ClassifiesExceptionsInClauseOrder) {
    struct Case {
        const char* name;
        std::exception_ptr exception;
        TransferError kind;
        bool retryable;
        WorkResult result;
    };
    const Case cases[] = {
        {"bad path", Captured(FileBadPathException("x")), TransferError::FileAccessError, false,
         WorkResult::Error},
        {"in use", Captured(FileInUseException()), TransferError::FileAccessError, true,
         WorkResult::RetryableError},
        {"inaccessible", Captured(FileInaccessibleException()), TransferError::FileAccessError, true,
         WorkResult::RetryableError},
        {"disk full", Captured(FileInsufficientSpaceException()), TransferError::InsufficientSpace, true,
         WorkResult::RetryableError},
        {"out of bounds", Captured(FileOutOfBoundsException()), TransferError::InternalError, false,
         WorkResult::Error},
        {"invalid map", Captured(FileInvalidMapException()), TransferError::FileError, false,
         WorkResult::Error},
        {"unknown file error", Captured(FileUnknownException()), TransferError::FileError, false,
         WorkResult::Error},
        {"bad_alloc", Captured(std::bad_alloc()), TransferError::OutOfMemory, false, WorkResult::Error},
        // A range too long for one access is a bad_alloc by type and classifies as memory.
        {"range too long", Captured(FileRangeTooLong()), TransferError::OutOfMemory, false,
         WorkResult::Error},
        {"runtime_error", Captured(std::runtime_error("x")), TransferError::InternalError, false,
         WorkResult::Error},
        {"manifest exception", Captured(ManifestParseException()), TransferError::InternalError, false,
         WorkResult::Error},
        {"not a std::exception", Captured(42), TransferError::InternalError, false, WorkResult::Error},
        {"no exception", std::exception_ptr(), TransferError::InternalError, false, WorkResult::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TransferFileExceptionData data(c.exception);
        EXPECT_EQ(data.ToTransferError(), c.kind);
        EXPECT_EQ(data.Retryable(), c.retryable);
        const WorkStatus status = MakeTransferFileExceptionStatus(c.exception);
        EXPECT_EQ(status.result, c.result);
        // The status's data is a WorkStatusData pointer; it must reach the transfer data through the virtual
        // base.
        const auto* transferData = dynamic_cast<const TransferStatusData*>(status.data.get());
        ASSERT_NE(transferData, nullptr);
        EXPECT_EQ(transferData->ToTransferError(), c.kind);
    }
}

TEST(TransferStatusDataTest, DescribesAndWritesEveryKindAsADecimalNumber) {
    const std::string inUseType = "halcyne::FileInUseException";
    for (int value = 0; value <= 11; ++value) {
        SCOPED_TRACE(value);
        const auto kind = static_cast<TransferError>(value);
        const std::string number = std::to_string(value);

        const TransferErrorData error(kind, "x y");
        EXPECT_EQ(error.ToTransferError(), kind);
        EXPECT_EQ(Keys(error), "transferError=" + number + ";errorMessage=x y;");
        EXPECT_EQ(error.ToErrorString(), "error|" + number + "|x y");
        EXPECT_EQ(error.Cause(), "x y");

        const TransferExceptionData exception(kind, Captured(FileInUseException("held by P")));
        EXPECT_EQ(exception.ToTransferError(), kind);
        EXPECT_EQ(Keys(exception),
                  "transferError=" + number + ";exception=" + inUseType + ";what=held by P;");
        EXPECT_EQ(exception.ToErrorString(), "error|" + number + "|" + inUseType);
        EXPECT_EQ(exception.Cause(), "held by P");
    }
    // An exception without a message is caused by its type.
    EXPECT_EQ(TransferExceptionData(TransferError::InternalError, Captured(std::runtime_error(""))).Cause(),
              "std::runtime_error");
    const TransferExceptionData unknown(TransferError::InternalError, Captured(7));
    EXPECT_EQ(Keys(unknown), "transferError=9;exception=Unknown exception type;");
    EXPECT_EQ(unknown.ToErrorString(), "error|9|Unknown exception type");
    EXPECT_EQ(unknown.Cause(), "Unknown exception type");

    // The file exception data writes what its base writes; the flag stays out.
    const TransferFileExceptionData file(Captured(FileInUseException("held by P")));
    EXPECT_EQ(Keys(file), "transferError=5;exception=" + inUseType + ";what=held by P;");
    EXPECT_EQ(file.ToErrorString(), "error|5|" + inUseType);
}

TEST(TransferStatusDataTest, HttpOutcomesMapToKinds) {
    struct Case {
        HttpRequestResult result;
        TransferError kind;
    };
    const Case cases[] = {
        {HttpRequestResult::NotStarted, TransferError::InternalError},
        {HttpRequestResult::InProgress, TransferError::InternalError},
        {HttpRequestResult::Success, TransferError::None},
        {HttpRequestResult::Cancelled, TransferError::None},
        {HttpRequestResult::BadUrl, TransferError::RequestError},
        {HttpRequestResult::ResolveFailed, TransferError::ConnectionError},
        {HttpRequestResult::ConnectFailed, TransferError::ConnectionError},
        {HttpRequestResult::ClientError, TransferError::ConnectionError},
        {HttpRequestResult::ServerError, TransferError::ConnectionError},
        {HttpRequestResult::TransmissionFailed, TransferError::ConnectionError},
        {HttpRequestResult::WriteFailed, TransferError::FileError},
        {HttpRequestResult::OutOfRange, TransferError::ConnectionError},
        {HttpRequestResult::TimedOut, TransferError::ConnectionError},
        {HttpRequestResult::OutOfMemory, TransferError::OutOfMemory},
        {HttpRequestResult::OtherError, TransferError::RequestError},
        {HttpRequestResult::TooLarge, TransferError::RequestError},
        {HttpRequestResult::CertificateRefused, TransferError::Unverified},
        {static_cast<HttpRequestResult>(99), TransferError::InternalError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToInt(c.result));
        HttpRequestStatus status = HttpRequestStatus::Failed(c.result, 12, "boom");
        status.responseCode = 503;
        status.ip = "127.0.0.1";
        const HttpTransferStatusData data("node0:80", status, 250);
        EXPECT_EQ(data.ToTransferError(), c.kind);
        const std::string expected =
            c.kind == TransferError::None
                ? ""
                : "error|" + ToDecimal(c.kind) + "|" + std::to_string(ToInt(c.result)) + "|boom";
        EXPECT_EQ(data.ToErrorString(), expected);
        EXPECT_EQ(Keys(data),
                  "hostname=node0:80;ip=127.0.0.1;httpResult=" + std::to_string(ToInt(c.result)) +
                      ";httpResponseCode=503;bytesWritten=12;errorDetails=boom;requestTimeMs=250;");
    }
    // libcurl's own text is described in a key of its own; the error string keeps the request's message.
    HttpRequestStatus refused =
        HttpRequestStatus::Failed(HttpRequestResult::BadUrl, 0, "libcurl error 1 (HTTP 0)");
    refused.curlErrorText = "Protocol \"gopher\" not supported";
    const HttpTransferStatusData data("node0:80", refused, 3);
    EXPECT_EQ(data.ToErrorString(), "error|8|4|libcurl error 1 (HTTP 0)");
    EXPECT_EQ(Keys(data),
              "hostname=node0:80;ip=;httpResult=4;httpResponseCode=0;bytesWritten=0;errorDetails=libcurl "
              "error 1 (HTTP 0);curlErrorText=Protocol \"gopher\" not supported;requestTimeMs=3;");
}

// The cause a player's detail line shows: the URL (the node's host when it is not known) and what went wrong,
// the HTTP status when the server answered with one, else libcurl's text, else the request's message.
TEST(TransferStatusDataTest, AFailedRequestsCauseNamesItsUrlAndWhatWentWrong) {
    const std::string url = "http://node0:80/packages/P/K/1/data.bin";
    const auto status = [](HttpRequestResult result, int code, const std::string& message,
                           const std::string& curlText) {
        HttpRequestStatus failed = HttpRequestStatus::Failed(result, 0, message);
        failed.responseCode = code;
        failed.curlErrorText = curlText;
        return failed;
    };
    struct Case {
        const char* name;
        HttpRequestStatus status;
        std::string url;
        std::string cause;
    };
    const Case cases[] = {
        {"an error status", status(HttpRequestResult::ServerError, 503, "libcurl error 22 (HTTP 503)", "x"),
         url, "HTTP 503 for " + url},
        {"refused",
         status(HttpRequestResult::ConnectFailed, 0, "libcurl error 7 (HTTP 0)", "Connection refused"), url,
         url + ": Connection refused"},
        {"no libcurl text", status(HttpRequestResult::WriteFailed, 0, "the file was truncated", ""), url,
         url + ": the file was truncated"},
        {"nothing said", status(HttpRequestResult::OutOfRange, 0, "", ""), url, url + ": OutOfRange"},
        {"no URL", status(HttpRequestResult::TimedOut, 0, "libcurl error 28 (HTTP 0)", "Timeout"), "",
         "node0:80: Timeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpTransferStatusData data("node0:80", c.status, 10, c.url);
        EXPECT_EQ(data.Cause(), c.cause);
        const auto* transferData = static_cast<const TransferStatusData*>(&data);
        EXPECT_EQ(transferData->Cause(), c.cause);
        EXPECT_EQ(Keys(data).find("url=" + c.url + ";") != std::string::npos, !c.url.empty());
    }
}

}  // namespace
}  // namespace halcyne
