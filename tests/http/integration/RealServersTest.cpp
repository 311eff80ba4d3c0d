// Requests against real servers from Debian started by the tests: nginx for byte ranges, tinyproxy as the
// proxy the environment names.
#include <sstream>

#include <gtest/gtest.h>

#include "http/CurlHttpRequest.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "http/ManualHttpProxy.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "http/posix/EnvironmentHttpProxyFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"

namespace halcyne {
namespace {

using R = HttpRequestResult;
using test::ScopedEnvironment;

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    }
    return text;
}

TEST(NginxTest, RangedGetsReturnExactlyTheAskedBytes) {
    test::ScratchFolder scratch;
    const std::string content = Pattern(300 * 1000);
    test::WriteFileText(scratch / "data.bin", content);
    test::NginxServer nginx(scratch.Path());
    const struct {
        std::uint64_t start, end;
        std::size_t from, length;
        int code;
    } cases[] = {
        {0, HttpRangeToEnd, 0, content.size(), 200},  {0, 65535, 0, 65536, 206},
        {65536, 131071, 65536, 65536, 206},           {299990, 299999, 299990, 10, 206},
        {250000, HttpRangeToEnd, 250000, 50000, 206},  // open end
    };
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params("http://" + nginx.Host() + "/data.bin", &writer);
    CurlHttpRequest request(params, "");
    for (const auto& c : cases) {
        body.str("");
        params.rangeStart = c.start;
        params.rangeEnd = c.end;
        ASSERT_TRUE(request.Reset(params, ""));
        const HttpRequestStatus status = request.Perform();
        EXPECT_EQ(status.result, R::Success) << c.start << " " << status.errorMessage;
        EXPECT_EQ(status.responseCode, c.code);
        EXPECT_EQ(status.bytesWritten, c.length);
        EXPECT_TRUE(body.str() == content.substr(c.from, c.length)) << c.start;
    }
    // Beyond the end nginx refuses the range; a missing file is a client error.
    params.rangeStart = 400000;
    params.rangeEnd = 400009;
    ASSERT_TRUE(request.Reset(params, ""));
    EXPECT_EQ(request.Perform().result, R::ClientError);
    params.url = "http://" + nginx.Host() + "/none.bin";
    ASSERT_TRUE(request.Reset(params, ""));
    EXPECT_EQ(request.Perform().errorMessage, "libcurl error 22 (HTTP 404)");
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        site.WriteText("packages/file.txt", "through the proxy");
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .nodes = 1});
        url = "http://" + service->NodeHost(0) + "/packages/file.txt";
    }
    // Performs one request made by a factory over the given proxy factory; returns the Via header the node
    // saw ("" when the request came direct).
    std::string ViaOf(HttpProxyFactory& proxies) {
        service->ClearRecords();
        CurlHttpRequestFactory factory(&proxies);
        std::stringstream body;
        HttpStringstreamWriter writer(&body);
        const auto request = factory.CreateRequest(HttpRequestParams(url, &writer));
        const HttpRequestStatus status = request->Perform();
        EXPECT_EQ(status.result, R::Success) << status.errorMessage;
        EXPECT_EQ(body.str(), "through the proxy");
        const auto served = service->Records().RequestsTo("node0");
        EXPECT_EQ(served.size(), 1u);
        return served.empty() ? "?" : served[0].via;
    }

    test::TinyproxyServer proxy;
    test::ScratchFolder scratch;
    test::SiteWriter site{scratch / "site"};
    std::unique_ptr<test::LocalDeliveryService> service;
    std::string url;
    ScopedEnvironment clearUpper{"HTTP_PROXY", std::nullopt};
    ScopedEnvironment clearHttps{"https_proxy", std::nullopt};
    ScopedEnvironment clearNoProxy{"NO_PROXY", std::nullopt};
};

TEST_F(ProxyTest, EnvironmentProxyCarriesRequestsUnlessBypassed) {
    EnvironmentHttpProxyFactory environment;
    {
        ScopedEnvironment http("http_proxy", proxy.Host()), no("no_proxy", std::nullopt);
        EXPECT_NE(ViaOf(environment).find("tinyproxy"), std::string::npos);
    }
    {
        ScopedEnvironment http("http_proxy", proxy.Host()), no("no_proxy", "localhost,127.0.0.1");
        EXPECT_EQ(ViaOf(environment), "");
    }
    {
        ScopedEnvironment http("http_proxy", std::nullopt), no("no_proxy", std::nullopt);
        EXPECT_EQ(ViaOf(environment), "");
    }
}

TEST_F(ProxyTest, TheFactoryDecidesNotLibcurlsOwnReadingOfTheEnvironment) {
    // The environment names a proxy, but the factory says direct: the request goes direct.
    {
        ScopedEnvironment http("http_proxy", proxy.Host()), no("no_proxy", std::nullopt);
        EmptyHttpProxyFactory direct;
        EXPECT_EQ(ViaOf(direct), "");
    }
    // The environment bypasses the host, but the factory's proxy has no bypass: the proxy carries it.
    {
        ScopedEnvironment http("http_proxy", std::nullopt), no("no_proxy", "*");
        class Fixed : public HttpProxyFactory {
        public:
            explicit Fixed(std::string host) : host_(std::move(host)) {}
            std::shared_ptr<HttpProxy> Create() override {
                return std::make_shared<ManualHttpProxy>(host_, "");
            }
            std::string host_;
        } fixed(proxy.Host());
        EXPECT_NE(ViaOf(fixed).find("tinyproxy"), std::string::npos);
    }
}

TEST(SessionTest, PooledRequestsOfASessionReuseTheirConnections) {
    test::ScratchFolder scratch;
    test::SiteWriter site(scratch / "site");
    site.WriteText("packages/a.bin", Pattern(10000));
    test::LocalDeliveryService service({.site = site.Folder(), .nodes = 1});
    EmptyHttpProxyFactory proxies;
    CurlHttpRequestFactory factory(&proxies);
    RoundRobinHttpSessionFactory sessions;
    const auto session = sessions.CreateSession();
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params("http://" + service.NodeHost(0) + "/packages/a.bin", &writer);
    // Two requests in use at once, then eight more one at a time: two handles, two connections.
    {
        auto a = factory.CreateRequest(params, session);
        auto b = factory.CreateRequest(params, session);
        ASSERT_EQ(a->Perform().result, R::Success);
        ASSERT_EQ(b->Perform().result, R::Success);
    }
    for (int i = 0; i < 8; ++i) {
        params.rangeStart = static_cast<std::uint64_t>(i) * 1000;
        params.rangeEnd = params.rangeStart + 999;
        ASSERT_EQ(factory.CreateRequest(params, session)->Perform().result, R::Success);
    }
    const auto records = service.Records();
    EXPECT_EQ(records.Counts("node0").requests, 10u);
    EXPECT_EQ(records.Counts("node0").connections, 2u);
}

}  // namespace
}  // namespace halcyne
