#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpProxy.hpp"
#include "http/HttpRequestCanceller.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

enum class Outcome { Loaded, Locator, Stream, Parse };

const char* Name(Outcome outcome) {
    switch (outcome) {
        case Outcome::Loaded:
            return "loaded";
        case Outcome::Locator:
            return "ManifestLocatorException";
        case Outcome::Stream:
            return "ManifestStreamException";
        case Outcome::Parse:
            return "ManifestParseException";
    }
    return "?";
}

// Runs `create` and names what came of it; `loaded` receives what a loaded manifest says.
template <typename Create>
Outcome Attempt(Create create, std::string& loaded) {
    try {
        loaded = create();
        return Outcome::Loaded;
    } catch (const ManifestLocatorException&) {
        return Outcome::Locator;
    } catch (const ManifestStreamException&) {
        return Outcome::Stream;
    } catch (const ManifestParseException&) {
        return Outcome::Parse;
    }
}

class ManifestSourceTest : public ::testing::Test {
protected:
    ManifestSourceTest() {
        test::SitePackage current;
        current.versionId = "V";
        current.files = {{"a.txt", "alpha"}};
        site.PublishPackage(current, true);
        test::SitePackage other = current;
        other.versionId = "W";
        site.PublishPackage(other, false);
        // A manifest of another package and one of another version, under paths that ask for K/Y and Z.
        site.WriteText("manifests/K/Y.xml", site.PackageManifestXml(current));
        site.WriteText("manifests/Z/current.xml", site.PackageManifestXml(current));
        site.WriteText("manifests/N/current.xml", "this is not XML");
        site.WriteText("manifests/E/current.xml", "");
        site.WriteText("nodes/N.xml", "<ArrayOfNodeInfo><NodeInfo>");
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .content = {}, .nodes = 2});
        site.PublishNodeList("P", service->Nodes());
    }

    test::ScratchFolder scratch;
    test::SiteWriter site{scratch / "site"};
    std::unique_ptr<test::LocalDeliveryService> service;
    EmptyHttpProxyFactory proxies;
    CurlHttpRequestFactory requests{&proxies};
    RoundRobinHttpSessionFactory sessions;
};

TEST_F(ManifestSourceTest, MapsEveryAnswerOfTheServiceForBothFactories) {
    struct Case {
        const char* name;
        bool package;  // the package factory, else the node list factory
        std::string ref;
        test::DeliveryFault fault;
        Outcome outcome;
        std::string loaded;  // "<id>/<version>" of a package, the node count of a list
    };
    const Case cases[] = {
        {"current accepts any version", true, "K", {}, Outcome::Loaded, "K/V"},
        {"a given version", true, "K/V", {}, Outcome::Loaded, "K/V"},
        {"a version that is not current", true, "K/W", {}, Outcome::Loaded, "K/W"},
        {"404 for a version", true, "K/X", {}, Outcome::Locator, ""},
        {"404 for a package", true, "Q", {}, Outcome::Locator, ""},
        {"another version", true, "K/Y", {}, Outcome::Locator, ""},
        {"another id", true, "Z", {}, Outcome::Locator, ""},
        {"500", true, "K", {.server = "manifest", .status = 500}, Outcome::Stream, ""},
        {"503", true, "K", {.server = "manifest", .status = 503}, Outcome::Stream, ""},
        {"refused", true, "K", {.server = "manifest", .refuse = true}, Outcome::Stream, ""},
        {"reset", true, "K", {.server = "manifest", .reset = true}, Outcome::Stream, ""},
        {"short body", true, "K", {.server = "manifest", .shortBy = 10}, Outcome::Stream, ""},
        {"not XML", true, "N", {}, Outcome::Parse, ""},
        {"empty 200", true, "E", {}, Outcome::Parse, ""},
        {"node list", false, "P", {}, Outcome::Loaded, "2"},
        {"node list 404", false, "Q", {}, Outcome::Locator, ""},
        {"node list 500", false, "P", {.server = "manifest", .status = 500}, Outcome::Stream, ""},
        {"node list short body", false, "P", {.server = "manifest", .shortBy = 5}, Outcome::Stream, ""},
        {"node list not complete", false, "N", {}, Outcome::Parse, ""},
    };
    XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 5, 30);
    XmlHttpNodeListManifestFactory lists(service->ManifestHost(), &requests, 5, 30);
    for (const bool withSession : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (withSession ? " with a session" : " without a session"));
            service->ClearFaults();
            if (!c.fault.server.empty()) {
                service->AddFault(c.fault);
            }
            const std::shared_ptr<HttpSession> session = withSession ? sessions.CreateSession() : nullptr;
            std::string loaded;
            const Outcome outcome =
                c.package
                    ? Attempt(
                          [&] {
                              const auto manifest = packages.Create(c.ref, session);
                              return manifest->GetId() + "/" + manifest->GetVersionId();
                          },
                          loaded)
                    : Attempt([&] { return std::to_string(lists.Create(c.ref, session)->GetNodes().size()); },
                              loaded);
            EXPECT_STREQ(Name(outcome), Name(c.outcome));
            EXPECT_EQ(loaded, c.loaded);
        }
    }
    service->ClearFaults();
    // The one-argument forms fetch without a session.
    EXPECT_EQ(packages.Create("K")->GetVersionId(), "V");
    EXPECT_EQ(lists.Create("P")->GetNodes().size(), 2u);
}

TEST_F(ManifestSourceTest, FetchesThroughTheSessionsPoolWhenGivenOne) {
    XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 5, 30);
    XmlHttpNodeListManifestFactory lists(service->ManifestHost(), &requests, 5, 30);
    const auto session = sessions.CreateSession();
    packages.Create("K", session);
    lists.Create("P", session);
    packages.Create("K/W", session);
    auto served = service->Records().RequestsTo("manifest");
    ASSERT_EQ(served.size(), 3u);
    // One pooled request serves them one after the other over its connection.
    EXPECT_EQ(served[0].connection, served[1].connection);
    EXPECT_EQ(served[1].connection, served[2].connection);

    service->ClearRecords();
    packages.Create("K");
    lists.Create("P");
    served = service->Records().RequestsTo("manifest");
    ASSERT_EQ(served.size(), 2u);
    EXPECT_NE(served[0].connection, served[1].connection);
}

// Real time: the service stalls and the source gives up after its one-second time-out.
TEST_F(ManifestSourceTest, AStalledServiceTimesOutRealTime) {
    XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 1, 1);
    XmlHttpNodeListManifestFactory lists(service->ManifestHost(), &requests, 1, 1);
    service->AddFault({.server = "manifest", .stall = true, .stallAfter = -1});
    std::string loaded;
    EXPECT_EQ(Attempt([&] { return packages.Create("K")->GetId(); }, loaded), Outcome::Stream);
    EXPECT_EQ(
        Attempt(
            [&] { return std::to_string(lists.Create("P", sessions.CreateSession())->GetNodes().size()); },
            loaded),
        Outcome::Stream);
    service->ClearFaults();
}

TEST_F(ManifestSourceTest, AFetchInFlightIsCancelledFromAnotherThread) {
    // No time-out: only the cancellation can end the fetch while the service stalls.
    XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 5, 0);
    service->AddFault({.server = "manifest", .stall = true, .stallAfter = -1});
    const auto canceller = std::make_shared<HttpRequestCanceller>();
    auto fetch = std::async(std::launch::async, [&] {
        std::string loaded;
        return Attempt([&] { return packages.Create("K", sessions.CreateSession(), canceller)->GetId(); },
                       loaded);
    });
    while (service->Records().Counts("manifest").requests == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    canceller->Cancel();
    const bool ended = fetch.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    service->ClearFaults();  // lets a fetch that was not cancelled end, so that the test fails instead of
                             // hanging
    EXPECT_TRUE(ended);
    EXPECT_EQ(fetch.get(), Outcome::Stream);

    // A cancelled canceller stops the next fetch before it reaches the service; rearmed, fetches run again.
    service->ClearRecords();
    std::string loaded;
    EXPECT_EQ(Attempt([&] { return packages.Create("K", nullptr, canceller)->GetId(); }, loaded),
              Outcome::Stream);
    EXPECT_EQ(service->Records().Counts("manifest").requests, 0u);
    canceller->Rearm();
    EXPECT_EQ(Attempt([&] { return packages.Create("K", nullptr, canceller)->GetId(); }, loaded),
              Outcome::Loaded);
}

// Each document kind just at its limit loads and one byte more is refused, with and without a length
// announced, signed and unsigned; a refused document is fetched once and nothing after it.
TEST_F(ManifestSourceTest, DocumentsAboveTheirLimitAreRefusedWhileReceived) {
    constexpr std::uint64_t PackageLimit = 4096;
    constexpr std::uint64_t NodeListLimit = 2048;
    constexpr std::uint64_t SignatureLimit = 256;
    const publish::SigningKey key = publish::SigningKey::New();
    const ManifestVerifier verifier(key.PublicKeyBase64());
    // Trailing white space is allowed after an XML document and around a signature's text.
    const auto padded = [](std::string text, std::uint64_t size) {
        text.resize(size, ' ');
        return text;
    };
    test::SitePackage package;
    package.packageId = "L";
    package.versionId = "V";
    package.files = {{"a.txt", "alpha"}};
    site.PublishPackage(package, false);
    const std::string packageXml = site.PackageManifestXml(package);
    const std::string nodeListXml = test::SiteWriter::NodeListXml(service->Nodes());
    ASSERT_LT(packageXml.size(), PackageLimit);
    ASSERT_LT(nodeListXml.size(), NodeListLimit);

    enum class Document { Package, NodeList, Signature };
    struct Case {
        const char* name;
        Document document;
        bool signedSite;
    };
    const Case cases[] = {
        {"package manifest", Document::Package, false},
        {"node list", Document::NodeList, false},
        {"signed package manifest", Document::Package, true},
        {"signed node list", Document::NodeList, true},
        {"signature of a package manifest", Document::Signature, true},
    };
    for (const Case& c : cases) {
        for (const bool over : {false, true}) {
            for (const bool unsized : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (over ? ", one byte over" : ", at the limit") +
                             (unsized ? ", no length announced" : ", length announced"));
                const std::uint64_t grow = over ? 1 : 0;
                const std::string packageText = padded(
                    packageXml, c.document == Document::Package ? PackageLimit + grow : packageXml.size());
                const std::string nodeListText =
                    padded(nodeListXml,
                           c.document == Document::NodeList ? NodeListLimit + grow : nodeListXml.size());
                site.WriteText("manifests/L/current.xml", packageText);
                site.WriteText("nodes/Q.xml", nodeListText);
                const std::string packageSignature = key.Sign(packageText);
                site.WriteText("manifests/L/current.xml.sig",
                               c.document == Document::Signature
                                   ? padded(packageSignature, SignatureLimit + grow)
                                   : packageSignature);
                site.WriteText("nodes/Q.xml.sig", key.Sign(nodeListText));
                service->ClearFaults();
                service->ClearRecords();
                if (unsized) {
                    service->AddFault({.server = "manifest", .unsized = true});
                }
                const ManifestVerifier* trusted = c.signedSite ? &verifier : nullptr;
                XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 5, 30, trusted,
                                                       nullptr, PackageLimit, SignatureLimit);
                XmlHttpNodeListManifestFactory lists(service->ManifestHost(), &requests, 5, 30, trusted,
                                                     NodeListLimit, SignatureLimit);
                const bool package = c.document != Document::NodeList;
                const std::string path = package ? "/manifests/L/current.xml" : "/nodes/Q.xml";
                std::string error;
                try {
                    if (package) {
                        EXPECT_EQ(packages.Create("L", sessions.CreateSession())->GetVersionId(), "V");
                    } else {
                        EXPECT_EQ(lists.Create("Q", sessions.CreateSession())->GetNodes().size(), 2u);
                    }
                } catch (const ManifestSizeException& refused) {
                    error = refused.what();
                }
                std::vector<std::string> served;
                for (const auto& request : service->Records().RequestsTo("manifest")) {
                    served.push_back(request.path);
                }
                std::vector<std::string> expected{path};
                if (c.signedSite && (!over || c.document == Document::Signature)) {
                    expected.push_back(path + ".sig");
                }
                EXPECT_EQ(served, expected);
                if (!over) {
                    EXPECT_EQ(error, "");
                    continue;
                }
                const char* kind = c.document == Document::Package    ? "the package manifest "
                                   : c.document == Document::NodeList ? "the node list "
                                                                      : "the signature file ";
                const std::uint64_t limit = c.document == Document::Package    ? PackageLimit
                                            : c.document == Document::NodeList ? NodeListLimit
                                                                               : SignatureLimit;
                EXPECT_THAT(error,
                            ::testing::StartsWith(kind + std::string("http://") + service->ManifestHost() +
                                                  path + (c.document == Document::Signature ? ".sig" : "") +
                                                  " is larger than " + std::to_string(limit) + " bytes"));
                // An announced length is refused by libcurl before the body arrives.
                if (!unsized) {
                    EXPECT_THAT(error, ::testing::HasSubstr("(libcurl error 63 "));
                }
            }
        }
    }
}

}  // namespace
}  // namespace halcyne
