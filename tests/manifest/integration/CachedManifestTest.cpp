// A signed site behind two Varnish caches configured as the deployment guide says (docs/), read through the
// engine's manifest factories one cache at a time, as a CDN's edges that answer to the same names (each
// cache is the run's http proxy). The caches keep the moving documents for ten minutes here, so what each
// holds is up to the test: a cache that still holds a document that the player has seen replaced through
// another, or a signature and a document stored on either side of a publication, gives the player the
// new document (the cache is asked for fresh copies) or a consistent old one, never a refusal; an old
// document that the origin itself serves again is still refused.
#include <functional>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/ManualHttpProxy.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "support/CachedSite.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;

const std::string ServiceHost = "manifests.studio.example";
const std::string FloorFile = "Vantrel Technologies/Halcyne/manifest-sequences.json";

// Every request through one cache.
class EdgeProxyFactory : public HttpProxyFactory {
public:
    explicit EdgeProxyFactory(std::string edge) : edge_(std::move(edge)) {}
    std::shared_ptr<HttpProxy> Create() override { return std::make_shared<ManualHttpProxy>(edge_, ""); }

private:
    std::string edge_;
};

TEST(CachedManifestTest, ACacheThatHoldsAReplacedDocumentNeverGetsThePlayerRefused) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmpdir("TMPDIR", scratch / "tmp");
    fs::create_directories(scratch / "package");
    test::WriteFileText(scratch / "package/run.sh", "#!/bin/sh\n");
    const std::string site = scratch / "site";
    publish::SitePublisher publisher(site);
    const auto key = std::make_shared<publish::SigningKey>(publish::SigningKey::New());
    publisher.SignWith(key);
    test::CachedSite served({.site = site, .caches = 2, .movingSeconds = 600});
    const ManifestVerifier verifier(key->PublicKeyBase64());

    const std::string older = "is below";
    struct Case {
        const char* name;
        // Run in order: "fill<edge> <path>" has the cache hold the origin's document at the path now (K and
        // P stand for the case's package and partner); "publish" publishes version 2 of the package;
        // "nodes" gives the partner a node list with two nodes; "replay" puts version 1's current
        // manifest and its signature back on the origin; "get<edge> K" and "get<edge> nodes" fetch
        // through that cache with the factories of one player, and say what they got or why not.
        std::vector<std::string> steps;
        std::vector<std::string> outcomes;  // each the whole outcome or a part of the refusal
    };
    const std::vector<Case> cases = {
        {"one cache still holds the current manifest that the player saw replaced through the other",
         {"fill1 manifests/K/current.xml", "fill1 manifests/K/current.xml.sig", "publish", "get0 K", "get1 K",
          "get1 K"},
         {"version 2", "version 2", "version 2"}},
        {"the same for a node list",
         {"fill1 nodes/P.xml", "fill1 nodes/P.xml.sig", "nodes", "get0 nodes", "get1 nodes"},
         {"2 nodes", "2 nodes"}},
        {"a cache holds the signature from before a publication and the document from after it",
         {"fill0 manifests/K/current.xml.sig", "publish", "get0 K"},
         {"version 2"}},
        {"the same for a node list", {"fill0 nodes/P.xml.sig", "nodes", "get0 nodes"}, {"2 nodes"}},
        {"a cache holds the document from before a publication and the signature from after it",
         {"fill0 manifests/K/current.xml", "publish", "get0 K", "get1 K", "get0 K"},
         {"version 1", "version 2", "version 2"}},
        {"the origin itself serves the older document again",
         {"fill0 manifests/K/current.xml", "fill0 manifests/K/current.xml.sig", "publish", "get1 K", "replay",
          "get0 K"},
         {"version 2", older}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        // Each case has a package and partner of its own, so the caches hold nothing of it yet.
        const std::string package = "K" + std::to_string(i);
        const std::string partner = "P" + std::to_string(i);
        const auto named = [&](std::string text) {
            for (const auto& [from, to] :
                 {std::pair{"/K/", "/" + package + "/"}, {"/P.", "/" + partner + "."}}) {
                if (const auto at = text.find(from); at != std::string::npos) {
                    text.replace(at, std::string(from).size(), to);
                }
            }
            return text;
        };
        fs::remove_all(scratch / "tmp");
        fs::create_directories(scratch / "tmp");
        publisher.PublishNodeList(partner, {{"n", "cdn1.studio.example", "/packages/", 1}});
        publisher.PublishFolder(scratch / "package", {partner, package, "1", "Game", "run.sh", 65536});
        const std::string oldCurrent = test::ReadFileText(site + "/manifests/" + package + "/current.xml");
        const std::string oldSignature =
            test::ReadFileText(site + "/manifests/" + package + "/current.xml.sig");
        ManifestReplayGuard guard(FloorFile);
        std::vector<std::string> outcomes;
        for (const std::string& step : c.steps) {
            const auto digit = step.find_first_of("01");
            const int edge = digit == std::string::npos ? 0 : step[digit] - '0';
            if (step.starts_with("fill")) {
                const auto fetched = test::RunProgram(
                    "/usr/bin/curl", {"-sf", "-o", "/dev/null", "-x", served.CacheHost(edge),
                                      "http://" + ServiceHost + "/" + named(step.substr(6))});
                ASSERT_EQ(fetched.exitStatus, 0) << step;
            } else if (step == "publish") {
                test::WriteFileText(scratch / "package/data.txt", "version 2 of " + package);
                publisher.PublishFolder(scratch / "package",
                                        {partner, package, "2", "Game", "run.sh", 65536});
                fs::remove(scratch / "package/data.txt");
            } else if (step == "nodes") {
                publisher.PublishNodeList(partner, {{"n", "cdn1.studio.example", "/packages/", 1},
                                                    {"m", "cdn2.studio.example", "/packages/", 1}});
            } else if (step == "replay") {
                test::WriteFileText(site + "/manifests/" + package + "/current.xml", oldCurrent);
                test::WriteFileText(site + "/manifests/" + package + "/current.xml.sig", oldSignature);
            } else {
                EdgeProxyFactory proxies(served.CacheHost(edge));
                CurlHttpRequestFactory requests(&proxies);
                XmlHttpPackageManifestFactory packages(ServiceHost, &requests, 5, 30, &verifier, nullptr, 0,
                                                       0, &guard);
                XmlHttpNodeListManifestFactory lists(ServiceHost, &requests, 5, 30, &verifier, 0, 0, 0,
                                                     &guard);
                try {
                    outcomes.push_back(step.ends_with("nodes")
                                           ? std::to_string(lists.Create(partner)->GetNodes().size()) +
                                                 " nodes"
                                           : "version " + packages.Create(package)->GetVersionId());
                } catch (const ManifestException& refused) {
                    outcomes.push_back(refused.what());
                }
            }
        }
        ASSERT_EQ(outcomes.size(), c.outcomes.size());
        for (std::size_t j = 0; j < outcomes.size(); ++j) {
            EXPECT_THAT(outcomes[j], HasSubstr(c.outcomes[j])) << j;
        }
    }
}

}  // namespace
}  // namespace halcyne
