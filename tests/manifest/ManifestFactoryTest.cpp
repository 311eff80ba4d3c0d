#include <new>
#include <sstream>

#include <gtest/gtest.h>

#include "http/HttpProxy.hpp"
#include "http/HttpRequest.hpp"
#include "http/HttpRequestFactory.hpp"
#include "http/HttpWriteCallback.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestSource.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "manifest/PackageRef.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"

namespace halcyne {
namespace {

using R = HttpRequestResult;

// A request that hands a fixed body to its writer and ends with a fixed status.
class ScriptedRequest : public HttpRequest {
public:
    ScriptedRequest(const HttpRequestParams& params, std::string body, HttpRequestStatus status)
        : HttpRequest(params, ""), body_(std::move(body)), status_(std::move(status)) {}
    HttpRequestStatus Perform() override {
        if (!body_.empty()) {
            params_->writer->Write(body_.data(), body_.size());
        }
        return status_;
    }
    HttpRequestStatus GetStatus() const override { return status_; }
    void Cancel() override {}
    bool Reset(const HttpRequestParams&, const std::string&) override { return false; }

private:
    std::string body_;
    HttpRequestStatus status_;
};

class ScriptedRequestFactory : public HttpRequestFactory {
public:
    ScriptedRequestFactory() : HttpRequestFactory(&proxies_) {}
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string&) override {
        urls.push_back(params.url);
        connectTimeouts.push_back(params.connectTimeout);
        timeouts.push_back(params.timeout);
        return std::make_shared<ScriptedRequest>(params, body, status);
    }

    std::string body;
    HttpRequestStatus status = HttpRequestStatus::Written(0);
    std::vector<std::string> urls;
    std::vector<int> connectTimeouts;
    std::vector<int> timeouts;

private:
    EmptyHttpProxyFactory proxies_;
};

std::string PackageXml(const std::string& id, const std::string& version) {
    return "<package id=\"" + id + "\" name=\"N\" partnerId=\"P\" versionId=\"" + version +
           "\" run=\"\"><files/></package>";
}

TEST(ManifestFactoryTest, PackageRefsSplitAtTheFirstSlash) {
    EXPECT_EQ(MakePackageRef("K", ""), "K");
    EXPECT_EQ(MakePackageRef("K", "V"), "K/V");
    EXPECT_EQ(SplitPackageRef("K"), std::make_pair(std::string("K"), std::string()));
    EXPECT_EQ(SplitPackageRef("K/V"), std::make_pair(std::string("K"), std::string("V")));
    EXPECT_EQ(SplitPackageRef("K/V/W"), std::make_pair(std::string("K"), std::string("V/W")));
    EXPECT_EQ(SplitPackageRef("/V"), std::make_pair(std::string(), std::string("V")));
    EXPECT_EQ(SplitPackageRef("K/"), std::make_pair(std::string("K"), std::string()));
}

TEST(ManifestFactoryTest, BuildsTheServiceUrls) {
    ScriptedRequestFactory requests;
    XmlHttpPackageManifestFactory packages("127.0.0.1:8080", &requests, 10, 30);
    XmlHttpNodeListManifestFactory lists("manifests.example", &requests, 10, 30);
    EXPECT_EQ(packages.BuildUrl("K"), "http://127.0.0.1:8080/manifests/K/current.xml");
    EXPECT_EQ(packages.BuildUrl("K/V"), "http://127.0.0.1:8080/manifests/K/V.xml");
    EXPECT_EQ(packages.BuildUrl("K/V/W"), "http://127.0.0.1:8080/manifests/K/V/W.xml");
    EXPECT_EQ(lists.BuildUrl("P"), "http://manifests.example/nodes/P.xml");
    // A host written with a scheme is reached with it.
    const struct {
        const char* host;
        const char* url;
    } schemes[] = {
        {"https://manifests.example", "https://manifests.example/nodes/P.xml"},
        {"HTTPS://127.0.0.1:8443", "https://127.0.0.1:8443/nodes/P.xml"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/nodes/P.xml"},
    };
    for (const auto& c : schemes) {
        EXPECT_EQ(XmlHttpNodeListManifestFactory(c.host, &requests, 10, 30).BuildUrl("P"), c.url);
    }
    // A host that is no authority cannot form a URL.
    XmlHttpPackageManifestFactory broken("host:notaport", &requests, 10, 30);
    EXPECT_THROW(broken.BuildUrl("K"), ManifestLocatorException);
    EXPECT_THROW(broken.Create("K"), ManifestLocatorException);
    EXPECT_THROW(XmlHttpPackageManifestFactory("https://h:notaport", &requests, 10, 30).BuildUrl("K"),
                 ManifestLocatorException);
    // Nor can one without a host name.
    for (const char* hostless : {"", "https://", "user@", ":81", "/manifests"}) {
        EXPECT_THROW(XmlHttpPackageManifestFactory(hostless, &requests, 10, 30).BuildUrl("K"),
                     ManifestLocatorException)
            << hostless;
    }
    EXPECT_TRUE(requests.urls.empty());
}

TEST(ManifestFactoryTest, MatchesIdAndGivenVersionExactly) {
    ScriptedRequestFactory requests;
    XmlHttpPackageManifestFactory packages("h", &requests, 10, 30);
    auto manifest = std::make_shared<StandardPackageManifest>();
    boost::property_tree::ptree tree;
    ReadManifestXml(PackageXml("K", "V/W"), tree);
    manifest->Load(tree);
    EXPECT_TRUE(packages.Matches(manifest, "K"));
    EXPECT_TRUE(packages.Matches(manifest, "K/V/W"));
    EXPECT_FALSE(packages.Matches(manifest, "K/V"));
    EXPECT_FALSE(packages.Matches(manifest, "k"));
    EXPECT_FALSE(packages.Matches(manifest, "K/v/w"));
    EXPECT_FALSE(packages.Matches(nullptr, "K"));
}

// Each failure names the URL and what went wrong; a document the service does not have, and a server whose
// certificate is refused, are told apart from the other failures.
TEST(ManifestFactoryTest, MapsRequestOutcomesToExceptions) {
    enum class Expect { Loaded, NotFound, Locator, Trust, Stream, Parse, Memory };
    struct Case {
        const char* name;
        HttpRequestStatus status;
        std::string body;
        Expect expect;
        std::string message;  // of the exception, for the failures of the request
    };
    const std::string xml = PackageXml("K", "V");
    const std::string url = "http://h/manifests/K/V.xml";
    const auto answered = [](R result, int code) {
        HttpRequestStatus status = HttpRequestStatus::Failed(result, 0, "msg");
        status.responseCode = code;
        return status;
    };
    const Case cases[] = {
        {"success", HttpRequestStatus::Written(0), xml, Expect::Loaded, ""},
        {"bad URL", HttpRequestStatus::Failed(R::BadUrl, 0, "msg"), "", Expect::Locator, url + ": msg"},
        {"client error", answered(R::ClientError, 403), "", Expect::Locator, "HTTP 403 for " + url},
        {"not found", answered(R::ClientError, 404), "", Expect::NotFound, "HTTP 404 for " + url},
        {"gone", answered(R::ClientError, 410), "", Expect::NotFound, "HTTP 410 for " + url},
        {"certificate refused", HttpRequestStatus::Failed(R::CertificateRefused, 0, "msg"), "", Expect::Trust,
         "the certificate of " + url + ": msg"},
        {"server error", answered(R::ServerError, 503), "", Expect::Stream, "HTTP 503 for " + url},
        {"cancelled", HttpRequestStatus::Failed(R::Cancelled, 0, "msg"), xml, Expect::Stream, url + ": msg"},
        {"not started", HttpRequestStatus::Failed(R::NotStarted, 0, "msg"), xml, Expect::Stream,
         url + ": msg"},
        {"time-out", HttpRequestStatus::Failed(R::TimedOut, 0, "msg"), "", Expect::Stream, url + ": msg"},
        {"write failed", HttpRequestStatus::Failed(R::WriteFailed, 0, "msg"), "", Expect::Stream,
         url + ": msg"},
        {"other", HttpRequestStatus::Failed(R::OtherError, 0, "msg"), "", Expect::Stream, url + ": msg"},
        {"out of memory", HttpRequestStatus::Failed(R::OutOfMemory, 0, "msg"), "", Expect::Memory, ""},
        {"an attribute element wins", HttpRequestStatus::Written(0),
         "<package id=\"X\" name=\"N\" partnerId=\"P\" versionId=\"V\" run=\"\"><id>K</id><files/></package>",
         Expect::Loaded, ""},
        {"not XML", HttpRequestStatus::Written(0), "<package", Expect::Parse, ""},
        {"another version", HttpRequestStatus::Written(0), PackageXml("K", "W"), Expect::Locator, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRequestFactory requests;
        requests.status = c.status;
        requests.body = c.body;
        XmlHttpPackageManifestFactory packages("h", &requests, 7, 9);
        try {
            const auto manifest = packages.Create("K/V");
            EXPECT_EQ(c.expect, Expect::Loaded);
            EXPECT_EQ(manifest->GetId(), "K");
        } catch (const ManifestNotFoundException& e) {
            EXPECT_EQ(c.expect, Expect::NotFound);
            EXPECT_EQ(e.what(), c.message);
        } catch (const ManifestLocatorException& e) {
            EXPECT_EQ(c.expect, Expect::Locator);
            EXPECT_EQ(e.what(), c.message);
        } catch (const ManifestTrustException& e) {
            EXPECT_EQ(c.expect, Expect::Trust);
            EXPECT_EQ(e.what(), c.message);
        } catch (const ManifestStreamException& e) {
            EXPECT_EQ(c.expect, Expect::Stream);
            EXPECT_EQ(e.what(), c.message);
        } catch (const ManifestParseException&) {
            EXPECT_EQ(c.expect, Expect::Parse);
        } catch (const std::bad_alloc&) {
            EXPECT_EQ(c.expect, Expect::Memory);
        }
        EXPECT_EQ(requests.urls, std::vector<std::string>{url});
        EXPECT_EQ(requests.connectTimeouts, std::vector<int>{7});
        EXPECT_EQ(requests.timeouts, std::vector<int>{9});
    }
}

TEST(ManifestFactoryTest, ASuccessWhoseStreamFailedIsAStreamError) {
    ScriptedRequestFactory requests;
    requests.body = PackageXml("K", "V");
    XmlHttpManifestSource source("http://h/x.xml", &requests, nullptr, 5, 5);
    std::stringstream stream;
    stream.setstate(std::ios::badbit);
    EXPECT_THROW(source.Fetch("K", stream), ManifestStreamException);
}

}  // namespace
}  // namespace halcyne
