// A signed site published by the publishing library and served by the local delivery service, read through
// the engine's manifest factories with a replay guard: old, foreign, expired and unstamped signed documents
// are refused, and what the player asks for by version is not held to the floor.
#include <functional>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpProxy.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;

constexpr std::int64_t Now = 1750000000;
constexpr std::int64_t Day = 86400;
const std::string FloorFile = "Vantrel Technologies/Halcyne/manifest-sequences.json";

class ManifestReplayTest : public ::testing::Test {
protected:
    ManifestReplayTest() : environment("TMPDIR", scratch / "tmp") {
        fs::create_directories(scratch / "tmp");
        fs::create_directories(scratch / "package");
        fs::create_directories(Site());
        test::WriteFileText(scratch / "package/run.sh", "#!/bin/sh\n");
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = Site(), .content = {}, .nodes = 1});
    }

    std::string Site() const { return scratch / "site"; }
    std::string Read(const std::string& relative) const {
        return test::ReadFileText(Site() + "/" + relative);
    }
    void Write(const std::string& relative, const std::string& text) const {
        test::WriteFileText(Site() + "/" + relative, text);
    }

    // Publishes, signed and at the time Now, package K of partner P in versions 1 and then 2, package L,
    // and the node lists of P and Q. Keeps the signed current manifest of version 1.
    void Publish() {
        for (const auto& entry : fs::directory_iterator(Site())) {
            fs::remove_all(entry.path());
        }
        publish::SitePublisher site(Site());
        site.SignWith(key);
        site.SetClock([] { return Now; });
        site.PublishFolder(scratch / "package", {"P", "K", "1", "Package", "run.sh", 65536});
        currentOne = Read("manifests/K/current.xml");
        currentOneSignature = Read("manifests/K/current.xml.sig");
        site.PublishFolder(scratch / "package", {"P", "K", "2", "Package", "run.sh", 65536});
        site.PublishFolder(scratch / "package", {"P", "L", "1", "Other", "run.sh", 65536});
        site.PublishNodeList("P", {{"n", service->NodeHost(0), "/packages/", 1}});
        site.PublishNodeList("Q", {{"q", service->NodeHost(0), "/packages/", 1}});
    }

    test::ScratchFolder scratch;
    test::ScopedEnvironment environment;
    std::unique_ptr<test::LocalDeliveryService> service;
    EmptyHttpProxyFactory proxies;
    CurlHttpRequestFactory requests{&proxies};
    std::shared_ptr<const publish::SigningKey> key =
        std::make_shared<publish::SigningKey>(publish::SigningKey::New());
    std::string currentOne;
    std::string currentOneSignature;
};

TEST_F(ManifestReplayTest, OnlyAFreshSignedDocumentOfWhatWasAskedForIsAccepted) {
    struct Run {
        bool signedDeployment = true;
        std::int64_t clock = Now;
    };
    // Runs the steps in order with the factories of one run of the updater: "K" or "K/1" fetches a package
    // manifest, "nodes:P" a node list (each step says what it gave: the version, the number of nodes, or
    // the refusal); "@old" serves the signed current manifest of version 1 again; "@later" goes on with the
    // factories of a later run.
    const auto runSteps = [&](const Run& run, const std::vector<std::string>& steps) {
        const ManifestVerifier verifier(run.signedDeployment ? key->PublicKeyBase64() : "");
        std::vector<std::string> outcomes;
        auto guard = std::make_unique<ManifestReplayGuard>(FloorFile, [&] { return run.clock; });
        for (const std::string& step : steps) {
            if (step == "@old") {
                Write("manifests/K/current.xml", currentOne);
                Write("manifests/K/current.xml.sig", currentOneSignature);
                continue;
            }
            if (step == "@later") {
                guard = std::make_unique<ManifestReplayGuard>(FloorFile, [&] { return run.clock; });
                continue;
            }
            XmlHttpPackageManifestFactory packages(service->ManifestHost(), &requests, 5, 30, &verifier,
                                                   nullptr, 0, 0, guard.get());
            XmlHttpNodeListManifestFactory lists(service->ManifestHost(), &requests, 5, 30, &verifier, 0, 0,
                                                 0, guard.get());
            try {
                outcomes.push_back(step.starts_with("nodes:")
                                       ? std::to_string(lists.Create(step.substr(6))->GetNodes().size()) +
                                             " node"
                                       : "version " + packages.Create(step)->GetVersionId());
            } catch (const ManifestTrustException& refused) {
                outcomes.push_back(refused.what());
            }
        }
        return outcomes;
    };
    const auto copy = [&](const std::string& from, const std::string& to) {
        return [=, this] {
            Write(to, Read(from));
            Write(to + ".sig", Read(from + ".sig"));
        };
    };
    const auto unstampedNodeList = [&](bool sign) {
        return [=, this] {
            const std::string list = publish::NodeListXml({{"n", service->NodeHost(0), "/packages/", 1}});
            Write("nodes/P.xml", list);
            Write("nodes/P.xml.sig", sign ? key->Sign(list) : std::string());
        };
    };
    const std::string older = "its sequence 1750000000 is below 1750000001, the highest already accepted";
    const std::string expired = "it expired at 2025-07-15T15:06:40Z";
    struct Case {
        const char* name;
        std::function<void()> tamper;  // after the publication
        Run run;
        std::vector<std::string> steps;
        std::vector<std::string> outcomes;  // each the whole outcome or a part of the refusal
    };
    const std::vector<Case> cases = {
        {"the current documents, fetched again",
         [] {},
         {},
         {"K", "nodes:P", "K", "@later", "K", "nodes:P"},
         {"version 2", "1 node", "version 2", "version 2", "1 node"}},
        {"the older current served again after the newer was accepted",
         [] {},
         {},
         {"K", "@old", "K", "@later", "K", "K/1"},
         {"version 2", older, older, "version 1"}},
        {"the same, unsigned deployment", [] {}, {false}, {"K", "@old", "K"}, {"version 2", "version 1"}},
        {"another package's current manifest",
         copy("manifests/L/current.xml", "manifests/K/current.xml"),
         {},
         {"K"},
         {"it is the current package manifest of package \"L\", not of \"K\""}},
        {"another partner's node list",
         copy("nodes/Q.xml", "nodes/P.xml"),
         {},
         {"nodes:P"},
         {"it is the node list of partner \"Q\", not of \"P\""}},
        {"expired more than an hour ago",
         [] {},
         {true, Now + 30 * Day + 3601},
         {"K", "nodes:P"},
         {expired, expired}},
        {"expired within the hour of skew",
         [] {},
         {true, Now + 30 * Day + 3600},
         {"K", "nodes:P"},
         {"version 2", "1 node"}},
        {"a signed current manifest without a stamp",
         copy("manifests/K/2.xml", "manifests/K/current.xml"),
         {},
         {"K"},
         {"it is signed but carries no <sequence>"}},
        {"the same, unsigned deployment",
         copy("manifests/K/2.xml", "manifests/K/current.xml"),
         {false},
         {"K"},
         {"version 2"}},
        {"a signed node list without a stamp",
         unstampedNodeList(true),
         {},
         {"nodes:P"},
         {"it is signed but carries no <PartnerId>"}},
        {"the same, unsigned deployment", unstampedNodeList(false), {false}, {"nodes:P"}, {"1 node"}},
        {"a version asked for by name is taken however old",
         [] {},
         {true, Now + 400 * Day},
         {"K/1", "K/2"},
         {"version 1", "version 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(scratch / "tmp/Vantrel Technologies");
        Publish();
        c.tamper();
        const auto outcomes = runSteps(c.run, c.steps);
        ASSERT_EQ(outcomes.size(), c.outcomes.size());
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            EXPECT_THAT(outcomes[i], HasSubstr(c.outcomes[i])) << "step " << i;
        }
        if (!c.run.signedDeployment) {
            EXPECT_FALSE(fs::exists(scratch / ("tmp/" + FloorFile)))
                << "an unsigned deployment keeps no floor";
        }
    }
}

}  // namespace
}  // namespace halcyne
