#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "http/CurlHttpRequest.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

TEST(CurlHttpRequestTest, MapsLibcurlCodesToResults) {
    using R = HttpRequestResult;
    const struct {
        int code;
        long http;
        R expected;
    } cases[] = {
        {0, 200, R::Success},
        {1, 0, R::BadUrl},
        {3, 0, R::BadUrl},
        {4, 0, R::BadUrl},
        {5, 0, R::ResolveFailed},
        {6, 0, R::ResolveFailed},
        {7, 0, R::ConnectFailed},
        {9, 403, R::ClientError},
        {22, 404, R::ClientError},
        {22, 499, R::ClientError},
        {22, 500, R::ServerError},
        {22, 503, R::ServerError},
        {78, 0, R::ClientError},
        {78, 550, R::ServerError},
        {18, 206, R::OutOfRange},
        {33, 0, R::OutOfRange},
        {23, 200, R::WriteFailed},
        {27, 0, R::OutOfMemory},
        {28, 0, R::TimedOut},
        {55, 0, R::TransmissionFailed},
        {56, 200, R::TransmissionFailed},
        {47, 302, R::OtherError},
        {42, 0, R::OtherError},
        {52, 0, R::OtherError},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CurlHttpRequest::MapCurlCode(c.code, c.http), c.expected)
            << "libcurl " << c.code << " HTTP " << c.http;
    }
}

struct CurlRequestFixture : ::testing::Test {
    std::stringstream body;
    HttpStringstreamWriter writer{&body};
    // Nothing listens on port 9 of 127.0.0.1 in the tests; none of these cases reaches the network.
    HttpRequestParams params{"http://127.0.0.1:9/never", &writer};
};

// Without a configured bundle, libcurl's built-in one (the build system's path) is used while it is there;
// on another distribution the first trust store found in the usual places is named instead.
TEST(CurlHttpRequestTest, FallbackCaBundleIsTheFirstReadableStoreOnlyWhenTheBuiltInOneIsMissing) {
    test::ScratchFolder folder;
    for (const char* name : {"debian.crt", "fedora.crt"}) {
        std::ofstream(folder / name) << "-----BEGIN CERTIFICATE-----\n";
    }
    const std::string debian = folder / "debian.crt";
    const std::string fedora = folder / "fedora.crt";
    const std::string missing = folder / "missing.crt";
    struct Case {
        std::string builtIn;
        std::vector<std::string> candidates;
        std::string expected;
    };
    const Case cases[] = {
        {debian, {fedora}, ""},  // the built-in store is there: libcurl's defaults stand
        {missing, {missing, fedora, debian}, fedora},  // built on another distribution: the first store found
        {"", {fedora}, fedora},                        // libcurl names no store of its own
        {missing, {missing}, ""},                      // none anywhere: libcurl's defaults, and its error
        {folder.Path(), {folder.Path(), debian}, debian},  // a folder is no bundle
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CurlHttpRequest::FallbackCaBundle(c.builtIn, c.candidates), c.expected) << c.builtIn;
    }
}

TEST_F(CurlRequestFixture, CancelBeforePerformEndsAtOnceWithoutMessageAndResetReArms) {
    CurlHttpRequest request(params, "");
    EXPECT_EQ(request.GetStatus().result, HttpRequestResult::NotStarted);
    request.Cancel();
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, HttpRequestResult::Cancelled);
    EXPECT_EQ(status.errorMessage, "");
    EXPECT_EQ(status.responseCode, 0);
    EXPECT_EQ(status.ip, "");
    // A settled request is not run again, and cancelling it again changes nothing.
    request.Cancel();
    EXPECT_EQ(request.Perform().result, HttpRequestResult::Cancelled);

    ASSERT_TRUE(request.Reset(params, ""));
    const HttpRequestStatus reset = request.GetStatus();
    EXPECT_EQ(reset.result, HttpRequestResult::NotStarted);
    EXPECT_EQ(reset.errorMessage, "");
}

TEST_F(CurlRequestFixture, UrlsOtherThanHttpAreBadUrlsAndNeverFetched) {
    // The message has its fixed form; libcurl's own text, which names the scheme, is kept beside it.
    const struct {
        const char* url;
        const char* message;
        const char* text;
    } cases[] = {
        {"file:///etc/passwd", "libcurl error 1 (HTTP 0)", "\"file\""},
        {"ftp://127.0.0.1/x", "libcurl error 1 (HTTP 0)", "\"ftp\""},
        {"gopher://127.0.0.1/", "libcurl error 1 (HTTP 0)", "\"gopher\""},
        {"not a url", "libcurl error 3 (HTTP 0)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        HttpRequestParams p = params;
        p.url = c.url;
        CurlHttpRequest request(p, "");
        const HttpRequestStatus status = request.Perform();
        EXPECT_EQ(status.result, HttpRequestResult::BadUrl);
        EXPECT_EQ(status.bytesWritten, 0u);
        EXPECT_EQ(body.str(), "");
        EXPECT_EQ(status.errorMessage, c.message);
        EXPECT_NE(status.curlErrorText.find(c.text), std::string::npos) << status.curlErrorText;
        EXPECT_NE(status.curlErrorText, "");  // libcurl says something for every failure
    }
}

TEST_F(CurlRequestFixture, FactoryMakesCurlRequestsWithTheProxyOfItsProxyFactory) {
    EmptyHttpProxyFactory proxies;
    CurlHttpRequestFactory factory(&proxies);
    const auto request = factory.CreateRequest(params);
    ASSERT_NE(dynamic_cast<CurlHttpRequest*>(request.get()), nullptr);
    EXPECT_EQ(request->GetStatus().result, HttpRequestResult::NotStarted);
    EXPECT_EQ(factory.GetProxyFactory(), &proxies);
}

}  // namespace
}  // namespace halcyne
