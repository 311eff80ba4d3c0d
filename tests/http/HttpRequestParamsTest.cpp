#include <sstream>

#include <gtest/gtest.h>

#include "http/HttpRequestParams.hpp"
#include "http/HttpRequestStatus.hpp"
#include "http/HttpStringstreamWriter.hpp"

namespace halcyne {
namespace {

TEST(HttpRequestParamsTest, ConstructorFillsEveryOtherFieldWithItsDefault) {
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    const HttpRequestParams params("http://127.0.0.1/x", &writer);
    EXPECT_EQ(params.url, "http://127.0.0.1/x");
    EXPECT_EQ(params.writer, &writer);
    EXPECT_EQ(params.method, HttpMethod::Get);
    EXPECT_EQ(params.body, "");
    EXPECT_EQ(params.contentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(params.acceptEncoding, "");
    EXPECT_EQ(params.rangeStart, 0u);
    EXPECT_EQ(params.rangeEnd, 18446744073709551615ull);
    EXPECT_TRUE(params.IsWholeResource());
    EXPECT_EQ(params.connectTimeout, 5);
    EXPECT_EQ(params.timeout, 0);
    EXPECT_EQ(params.lowSpeedLimit, 0);
    EXPECT_EQ(params.lowSpeedTime, 0);
    EXPECT_EQ(params.userAgent, "Vantrel Halcyne TransferService 0.9");
}

TEST(HttpRequestStatusTest, DefaultIsNotStartedWithNothingAndResultsKeepTheirNumbers) {
    const HttpRequestStatus status;
    EXPECT_EQ(status.result, HttpRequestResult::NotStarted);
    EXPECT_EQ(status.bytesWritten, 0u);
    EXPECT_EQ(status.responseCode, 0);
    EXPECT_EQ(status.ip, "");
    EXPECT_EQ(status.errorMessage, "");
    static_assert(sizeof(HttpRequestResult) == 1);
    EXPECT_EQ(ToInt(HttpRequestResult::Success), 2);
    EXPECT_EQ(ToInt(HttpRequestResult::TimedOut), 12);
    EXPECT_EQ(ToInt(HttpRequestResult::OtherError), 14);
    EXPECT_STREQ(ToString(HttpRequestResult::OutOfRange), "OutOfRange");
}

TEST(HttpStringstreamWriterTest, CollectsBytesAndFailsEveryPieceOnceTheStreamIsInError) {
    std::stringstream stream;
    HttpStringstreamWriter writer(&stream);
    const char bytes[] = {'a', '\0', 'b'};
    const HttpRequestStatus written = writer.Write(bytes, 3);
    EXPECT_EQ(written.result, HttpRequestResult::Success);
    EXPECT_EQ(written.bytesWritten, 3u);
    EXPECT_EQ(stream.str(), std::string(bytes, 3));

    const HttpRequestStatus empty = writer.Write(nullptr, 0);
    EXPECT_EQ(empty.result, HttpRequestResult::Success);
    EXPECT_EQ(empty.bytesWritten, 0u);

    stream.setstate(std::ios::failbit);
    for (int i = 0; i < 2; ++i) {
        const HttpRequestStatus failed = writer.Write("xy", 2);
        EXPECT_EQ(failed.result, HttpRequestResult::WriteFailed);
        EXPECT_EQ(failed.bytesWritten, 0u);
    }
    EXPECT_EQ(writer.Write("", 0).result, HttpRequestResult::Success);
}

}  // namespace
}  // namespace halcyne
