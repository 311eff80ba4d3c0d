// Requests to https servers: nginx with certificates from an authority the test makes, verified by libcurl
// against the configured bundle or the system's store; redirects that would leave https; https proxies.
#include <sstream>

#include <gtest/gtest.h>

#include "http/CurlHttpRequest.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "http/posix/EnvironmentHttpProxyFactory.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"

namespace halcyne {
namespace {

using R = HttpRequestResult;
using test::NginxServer;
using test::ScopedEnvironment;
using test::ServerCertificate;
using test::TestCertificateAuthority;

// One authority the client trusts and one it does not, with the server certificates the cases use.
class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        trusted_ = new TestCertificateAuthority("Trusted Test CA");
        unknown_ = new TestCertificateAuthority("Unknown Test CA");
    }
    static void TearDownTestSuite() {
        delete trusted_;
        delete unknown_;
    }

    TlsTest() { test::WriteFileText(site_ / "file.txt", "over tls"); }

    // GET of `path` on `server` through a factory that trusts `bundle` and the proxies of the environment.
    static HttpRequestStatus Get(const std::string& url, const std::string& bundle, std::string* body) {
        EnvironmentHttpProxyFactory proxies;
        CurlHttpRequestFactory factory(&proxies, bundle);
        std::stringstream received;
        HttpStringstreamWriter writer(&received);
        const HttpRequestStatus status = factory.CreateRequest(HttpRequestParams(url, &writer))->Perform();
        *body = received.str();
        return status;
    }

    static TestCertificateAuthority* trusted_;
    static TestCertificateAuthority* unknown_;
    test::ScratchFolder site_;
    ScopedEnvironment noHttp_{"http_proxy", std::nullopt}, noHttps_{"https_proxy", std::nullopt},
        noHttpUpper_{"HTTP_PROXY", std::nullopt}, noHttpsUpper_{"HTTPS_PROXY", std::nullopt};
};

TestCertificateAuthority* TlsTest::trusted_ = nullptr;
TestCertificateAuthority* TlsTest::unknown_ = nullptr;

TEST_F(TlsTest, OnlyAVerifiedServerIsAnswered) {
    const ServerCertificate good = trusted_->Issue("good", "IP:127.0.0.1");
    const ServerCertificate otherName = trusted_->Issue("other-name", "DNS:other.example");
    const ServerCertificate expired = trusted_->Issue("expired", "IP:127.0.0.1", -1);
    const ServerCertificate stranger = unknown_->Issue("stranger", "IP:127.0.0.1");
    const std::string missing = site_ / "no-such-bundle.pem";
    const struct {
        const char* name;
        const ServerCertificate& certificate;
        std::string bundle;
        R result;
        std::string message;  // what the error message must hold ("" for success)
    } cases[] = {
        {"trusted", good, trusted_->Bundle(), R::Success, ""},
        {"another name", otherName, trusted_->Bundle(), R::CertificateRefused,
         "libcurl error 60 (HTTP 0): SSL: no alternative certificate subject name matches target host name"},
        {"expired", expired, trusted_->Bundle(), R::CertificateRefused,
         "libcurl error 60 (HTTP 0): SSL certificate problem: certificate has expired"},
        {"unknown authority", stranger, trusted_->Bundle(), R::CertificateRefused,
         "libcurl error 60 (HTTP 0): SSL certificate problem: unable to get local issuer certificate"},
        {"system store", good, "", R::CertificateRefused,
         "libcurl error 60 (HTTP 0): SSL certificate problem: unable to get local issuer certificate"},
        {"the bundle alone", stranger, unknown_->Bundle(), R::Success, ""},
        {"bundle missing", good, missing, R::CertificateRefused, "libcurl error 77 (HTTP 0): "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The server offers HTTP/2 as well; requests keep to HTTP/1.1.
        NginxServer nginx(site_.Path(), {.tls = c.certificate, .http2 = true});
        std::string body;
        const HttpRequestStatus status = Get("https://" + nginx.Host() + "/file.txt", c.bundle, &body);
        EXPECT_EQ(status.result, c.result);
        if (c.result == R::Success) {
            EXPECT_EQ(body, "over tls");
            EXPECT_EQ(status.errorMessage, "");
            EXPECT_NE(nginx.StoppedAccessLog().find("\"GET /file.txt HTTP/1.1\" 200"), std::string::npos);
        } else {
            EXPECT_EQ(body, "");
            EXPECT_EQ(status.errorMessage.rfind(c.message, 0), 0u) << status.errorMessage;
            // Nothing was asked of a server that could not prove who it is.
            EXPECT_EQ(nginx.StoppedAccessLog().find("GET /file.txt"), std::string::npos);
        }
    }
    // The unreadable bundle is named in the message.
    std::string body;
    NginxServer nginx(site_.Path(), {.tls = good});
    EXPECT_NE(Get("https://" + nginx.Host() + "/file.txt", missing, &body).errorMessage.find(missing),
              std::string::npos);
}

TEST_F(TlsTest, RedirectsNeverLeaveHttps) {
    const ServerCertificate good = trusted_->Issue("good", "IP:127.0.0.1");
    NginxServer plain(site_.Path());
    NginxServer secure(site_.Path(),
                       {.tls = good,
                        .serverConfig = "    location /to-http/ { return 302 http://" + plain.Host() +
                                        "/file.txt; }\n"
                                        "    location /to-https/ { return 302 /file.txt; }\n"});
    NginxServer upgrading(site_.Path(), {.serverConfig = "    location /to-https/ { return 302 https://" +
                                                         secure.Host() + "/file.txt; }\n"});
    const struct {
        const char* name;
        std::string url;
        R result;
        std::string body;
    } cases[] = {
        {"https to http", "https://" + secure.Host() + "/to-http/", R::BadUrl, ""},
        {"https to https", "https://" + secure.Host() + "/to-https/", R::Success, "over tls"},
        {"http to https", "http://" + upgrading.Host() + "/to-https/", R::Success, "over tls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body;
        const HttpRequestStatus status = Get(c.url, trusted_->Bundle(), &body);
        EXPECT_EQ(status.result, c.result) << status.errorMessage;
        EXPECT_EQ(body, c.body);
        if (c.result == R::BadUrl) {
            // The message keeps its fixed form; libcurl's text (the refused redirect) is kept beside it.
            EXPECT_EQ(status.errorMessage, "libcurl error 1 (HTTP 302)");
            EXPECT_NE(status.curlErrorText, "");
        }
    }
    // The plain server never saw the request the redirect pointed at.
    EXPECT_EQ(plain.StoppedAccessLog(), "");
}

TEST_F(TlsTest, HttpsHostsGoThroughTheHttpsProxyWithTheServerStillVerified) {
    const ServerCertificate good = trusted_->Issue("good", "IP:127.0.0.1");
    const ServerCertificate otherName = trusted_->Issue("other-name", "DNS:other.example");
    NginxServer nginx(site_.Path(), {.tls = good});
    NginxServer impostor(site_.Path(), {.tls = otherName});
    test::TinyproxyServer proxy;
    const auto connects = [&] {
        const std::string log = test::ReadFileText(proxy.LogPath());
        std::size_t count = 0;
        for (std::size_t at = log.find("): CONNECT "); at != std::string::npos;
             at = log.find("): CONNECT ", at + 1)) {
            ++count;
        }
        return count;
    };
    std::string body;
    {
        // Only http_proxy set: https goes direct.
        ScopedEnvironment http("http_proxy", proxy.Host());
        EXPECT_EQ(Get("https://" + nginx.Host() + "/file.txt", trusted_->Bundle(), &body).result, R::Success);
        EXPECT_EQ(connects(), 0u);
    }
    {
        ScopedEnvironment https("https_proxy", proxy.Host());
        EXPECT_EQ(Get("https://" + nginx.Host() + "/file.txt", trusted_->Bundle(), &body).result, R::Success);
        EXPECT_EQ(body, "over tls");
        EXPECT_EQ(connects(), 1u);
        // Through the tunnel the server is verified as it is directly.
        const HttpRequestStatus refused =
            Get("https://" + impostor.Host() + "/file.txt", trusted_->Bundle(), &body);
        EXPECT_EQ(refused.result, R::CertificateRefused);
        EXPECT_NE(refused.errorMessage.find("libcurl error 60"), std::string::npos) << refused.errorMessage;
        EXPECT_EQ(connects(), 2u);
    }
}

}  // namespace
}  // namespace halcyne
