// A site checked as a studio checks it before players see it, and listed: every fault of a file, a manifest,
// a signature or a stamp named, nothing reported for a sound site, and expiries shown and warned of.
#include <functional>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../../tools/delivery/Crc32Forgery.hpp"
#include "EngineFormats.hpp"
#include "SigningKey.hpp"
#include "SiteCheck.hpp"
#include "SitePublisher.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::publish {
namespace {

namespace fs = boost::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// 2026-01-01T00:00:00Z, when the site is published.
constexpr std::int64_t Published = 1767225600;
constexpr std::int64_t Day = 86400;

class SiteCheckTest : public ::testing::Test {
public:
    SiteCheckTest() {
        test::WriteFileText(source / "run.sh", "#!/bin/sh\n");
        fs::create_directories(source / "data");
        test::WriteFileText(source / "data/.keep", "");
        test::WriteFileText(source / "data/big", std::string(300000, 'x'));
        SitePublisher publisher(site.Path());
        publisher.SignWith(key);
        publisher.SetClock([] { return Published; });
        publisher.ExpireAfterDays(30);
        PackageInfo info{"P", "K", "1", "Game", "run.sh", 65536};
        publisher.PublishFolder(source.Path(), info);
        info.versionId = "2";
        test::WriteFileText(source / "data/big", std::string(300000, 'y'));
        publisher.PublishFolder(source.Path(), info);
        publisher.PublishNodeList("P", {{"n1", "127.0.0.1:81", "/packages/", 1}});
    }
    SiteCheckReport Check(const std::string& folder, std::int64_t now = Published + Day) {
        return CheckSite(folder, {key->PublicKeyBase64()}, now);
    }

    test::ScratchFolder source;
    test::ScratchFolder site;
    std::shared_ptr<const SigningKey> key = std::make_shared<SigningKey>(SigningKey::New());
};

TEST_F(SiteCheckTest, ASoundSiteHasNoProblem) {
    const SiteCheckReport report = Check(site.Path());
    EXPECT_THAT(report.problems, ElementsAre());
    EXPECT_THAT(report.warnings, ElementsAre());
    EXPECT_EQ(report.versions, 2u);
    EXPECT_EQ(report.files, 6u);
    EXPECT_EQ(report.bytes, 2 * (300000u + 10u));
    EXPECT_EQ(report.documents, 2u);
}

TEST_F(SiteCheckTest, EveryFaultIsNamed) {
    const auto write = [](const std::string& path, const std::string& text) {
        test::WriteFileText(path, text);
    };
    struct Case {
        const char* label;
        std::function<void(const std::string& site)> fault;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"a file changed",
         [&](const std::string& s) {
             std::string bytes(300000, 'x');
             bytes[200000] = 'z';
             write(s + "/packages/P/K/1/data/big", bytes);
         },
         "packages/P/K/1/data/big (manifests/K/1.xml): chunk 3 (from byte 196608): its CRC-32 differs"},
        {"a chunk forged to keep its CRC-32",
         [&](const std::string& s) {
             std::string bytes(300000, 'y');
             forgery::ForgeKeepingCrc32(reinterpret_cast<unsigned char*>(bytes.data()) + 65536, 65536);
             write(s + "/packages/P/K/2/data/big", bytes);
         },
         "packages/P/K/2/data/big (manifests/K/2.xml): chunk 1 (from byte 65536): its SHA-256 differs"},
        {"a file cut short", [&](const std::string& s) { write(s + "/packages/P/K/2/run.sh", "#!"); },
         "packages/P/K/2/run.sh (manifests/K/2.xml): 2 bytes, the manifest says 10"},
        {"an empty file missing", [&](const std::string& s) { fs::remove(s + "/packages/P/K/1/data/.keep"); },
         "packages/P/K/1/data/.keep (manifests/K/1.xml): missing"},
        {"a version manifest changed",
         [&](const std::string& s) {
             std::string xml = test::ReadFileText(s + "/manifests/K/1.xml");
             xml.replace(xml.find("Game"), 4, "Gamf");
             write(s + "/manifests/K/1.xml", xml);
         },
         "manifests/K/1.xml: its signature does not verify under the keys given"},
        {"a signature missing", [&](const std::string& s) { fs::remove(s + "/nodes/P.xml.sig"); },
         "nodes/P.xml: no signature beside it (nodes/P.xml.sig)"},
        {"a signature malformed", [&](const std::string& s) { write(s + "/manifests/K/2.xml.sig", "x\n"); },
         "manifests/K/2.xml.sig: malformed"},
        {"a current manifest of another version",
         [&](const std::string& s) {
             fs::copy_file(s + "/manifests/K/1.xml", s + "/manifests/K/current.xml",
                           fs::copy_options::overwrite_existing);
         },
         "manifests/K/current.xml: no complete stamp"},
        {"a current manifest naming a version that is gone",
         [&](const std::string& s) {
             fs::remove(s + "/manifests/K/2.xml");
             fs::remove(s + "/manifests/K/2.xml.sig");
         },
         "manifests/K/current.xml: names version 2, which has no manifest (manifests/K/2.xml)"},
        {"a node list the engine refuses",
         [&](const std::string& s) { write(s + "/nodes/Q.xml", "<ArrayOfNodeInfo><NodeInfo/>"); },
         "nodes/Q.xml: the engine refuses the node list"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder copy;
        fs::copy(site.Path(), copy / "site", fs::copy_options::recursive);
        c.fault(copy / "site");
        const SiteCheckReport report = Check(copy / "site");
        EXPECT_THAT(report.problems, Contains(HasSubstr(c.problem)));
    }
}

TEST_F(SiteCheckTest, ExpiriesAreWarnedOfAWeekAheadAndAnExpiredDocumentIsAProblem) {
    EXPECT_THAT(Check(site.Path(), Published + 22 * Day).warnings, ElementsAre());
    EXPECT_THAT(
        Check(site.Path(), Published + 24 * Day).warnings,
        ElementsAre("manifests/K/current.xml: expires 2026-01-31T00:00:00Z (in 6 days): publish again or "
                    "--resign before then",
                    HasSubstr("nodes/P.xml: expires 2026-01-31T00:00:00Z (in 6 days)")));
    EXPECT_THAT(Check(site.Path(), Published + 30 * Day).problems,
                ElementsAre(HasSubstr("manifests/K/current.xml: expired at 2026-01-31T00:00:00Z"),
                            HasSubstr("nodes/P.xml: expired at 2026-01-31T00:00:00Z")));
    // Without a key the signatures go unchecked, and the report says so.
    EXPECT_THAT(CheckSite(site.Path(), {}, Published).warnings,
                ElementsAre(HasSubstr("the site is signed, but its signatures were not checked")));
    // Another key than the site's verifies nothing.
    const std::string mismatch = ": its signature does not verify under the keys given";
    EXPECT_THAT(CheckSite(site.Path(), {SigningKey::New().PublicKeyBase64()}, Published).problems,
                ElementsAre("manifests/K/1.xml" + mismatch, "manifests/K/2.xml" + mismatch,
                            "manifests/K/current.xml" + mismatch, "nodes/P.xml" + mismatch));
}

TEST_F(SiteCheckTest, TheListingShowsVersionsTheCurrentOneAndExpiries) {
    SitePublisher publisher(site.Path());
    publisher.SignWith(key);
    publisher.SetClock([] { return Published + Day; });
    publisher.SetCurrent("K", "1");
    EXPECT_EQ(
        ListSite(site.Path(), Published + 2 * Day),
        "package K \"Game\", partner P\n"
        "  version 1: signed, current (sequence 1767312000, expires 2026-02-01T00:00:00Z (in 29 days))\n"
        "  version 2: signed\n"
        "node list of partner P: signed (sequence 1767225600, expires 2026-01-31T00:00:00Z (in 28 days))\n"
        "  n1 127.0.0.1:81 /packages/\n");
}

}  // namespace
}  // namespace halcyne::publish
