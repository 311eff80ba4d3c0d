// The built updater against a delivery site that nginx serves only over https, with a certificate from an
// authority the test makes: stamped with the https host and the authority's bundle (string id 134) it
// downloads and launches; stamped without the bundle it trusts only the system's store, refuses the server
// and says that it cannot connect.
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "SitePublisher.hpp"
#include "app/Messages.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;

TEST(UpdaterHttpsTest, TheStampedBundleDecidesWhetherTheHttpsSiteIsTrusted) {
    test::ScratchFolder scratch;
    const auto write = [&](const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(scratch / relative).parent_path());
        test::WriteFileText(scratch / relative, bytes);
    };
    write("downloader/bin/downloader.sh", "#!/bin/sh\necho \"launched $1 $2\"\n");
    write("skin/skin.ini", "skin=1\n");
    publish::SitePublisher site(scratch / "site");
    site.PublishFolder(scratch / "downloader", {"DP", "DK", "1", "Downloader", "bin/downloader.sh", 65536});
    site.PublishFolder(scratch / "skin", {"GP", "SK", "3", "Skin", "skin.ini", 65536});
    test::TestCertificateAuthority authority("Studio Test CA");
    test::NginxServer nginx(scratch / "site", {.tls = authority.Issue("site", "IP:127.0.0.1")});
    const std::string host = "https://" + nginx.Host();
    site.PublishNodeList("DP", {{"node0", host, "/packages/", 1}});
    site.PublishNodeList("GP", {{"node0", host, "/packages/", 1}});

    const struct {
        const char* name;
        std::string bundle;  // string id 134 ("" leaves it out)
        int exitStatus;
        std::string expected;  // on standard output for success, on standard error otherwise
    } cases[] = {
        {"bundle stamped", authority.Bundle(), 0, "launched /host " + host + "\n"},
        // A certificate that does not verify is never retried.
        {"system store", "", 1,
         std::string("Emberline Downloader Error\n") + Updater::Message::NotVerified +
             "\nDetails: the certificate of " + host + "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string updater = scratch / "halcyne-updater";
        const auto stamped =
            test::StampTestUpdater(updater, host, "Emberline",
                                   c.bundle.empty() ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"--set", "134=" + c.bundle});
        ASSERT_EQ(stamped.exitStatus, 0) << stamped.errors;
        fs::remove_all(scratch / "tmp");
        fs::create_directories(scratch / "tmp");
        const auto result =
            test::RunProgram(updater, {}, {"TMPDIR=" + scratch / "tmp", "HALCYNE_UI=console"});
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.errors;
        if (c.exitStatus == 0) {
            EXPECT_EQ(result.output, c.expected);
        } else {
            EXPECT_EQ(result.output, "");
            EXPECT_NE(result.errors.find(c.expected), std::string::npos) << result.errors;
            EXPECT_FALSE(fs::exists(scratch / "tmp/Vantrel Technologies/Halcyne/bin/downloader.sh"));
        }
    }
}

}  // namespace
}  // namespace halcyne
