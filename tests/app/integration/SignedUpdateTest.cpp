// The built updater against a signed site of the local delivery service: the studio's key signs every
// manifest and node list, the updater carries the public keys (string id 133), and each way a document or
// its signature can differ from what was signed ends the run before anything is downloaded, with the reason
// in the work log.
#include <ctime>
#include <sstream>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "app/Messages.hpp"
#include "support/DeliveryService.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const char* const DownloaderScript = "#!/bin/sh\necho \"launched $1\"\n";

// A downloader and a skin published and signed with `signer`, served by the local delivery service, and an
// updater stamped with its ports and with `trusted` as its key list (none: entry 133 unset).
class SignedUpdate {
public:
    SignedUpdate(const publish::SigningKey& signer, const std::string& trusted) {
        Write("downloader/bin/downloader.sh", DownloaderScript);
        Write("downloader/data/readme.txt", std::string(100000, 'r'));
        Write("skin/skin.ini", "skin=1\n");
        publish::SitePublisher site(Site());
        site.SignWith(std::make_shared<publish::SigningKey>(signer));
        site.PublishFolder(scratch / "downloader",
                           {"DP", "DK", "1", "Downloader", "bin/downloader.sh", 65536});
        site.PublishFolder(scratch / "skin", {"GP", "SK", "3", "Skin", "skin.ini", 65536});
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = Site(), .content = {}, .nodes = 2});
        std::vector<publish::NodeInfo> nodes;
        for (int i = 0; i < service->NodeCount(); ++i) {
            nodes.push_back({"node" + std::to_string(i), service->NodeHost(i), "/packages/", 1});
        }
        site.PublishNodeList("DP", nodes);
        site.PublishNodeList("GP", nodes);
        const auto stamped =
            test::StampTestUpdater(updater, service->ManifestHost(), "Emberline",
                                   trusted.empty() ? std::vector<std::string>{}
                                                   : std::vector<std::string>{"--set", "133=" + trusted});
        EXPECT_EQ(stamped.exitStatus, 0) << stamped.errors;
        fs::create_directories(scratch / "tmp");
    }

    std::string Site() const { return scratch / "site"; }
    void Write(const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(scratch / relative).parent_path());
        test::WriteFileText(scratch / relative, bytes);
    }
    test::ProcessResult Run(const std::vector<std::string>& arguments = {}) {
        return test::RunProgram(updater, arguments, {"TMPDIR=" + scratch / "tmp", "HALCYNE_UI=console"});
    }
    std::string DataFolder() const { return scratch / "tmp/Vantrel Technologies/Halcyne"; }
    // Every line of the run's work log.
    std::string Log() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(DataFolder() + "/logs")) {
            text += test::ReadFileText(entry.path().string());
        }
        return text;
    }

    test::ScratchFolder scratch;
    std::string updater = scratch / "halcyne-updater";
    std::unique_ptr<test::LocalDeliveryService> service;
};

TEST(SignedUpdateTest, OnlyDocumentsSignedByAStampedKeyAreUsed) {
    const publish::SigningKey studio = publish::SigningKey::New();
    const publish::SigningKey stranger = publish::SigningKey::New();
    const std::string manifest = "manifests/DK/current.xml";
    const std::string signature = manifest + ".sig";
    struct Case {
        const char* name;
        std::string trusted;
        std::function<void(SignedUpdate&)> tamper;
        std::string logged;  // "" for a run that launches the downloader; else the reason the log gives
                             // (without '/': the log's JSON escapes it)
    };
    const std::vector<Case> cases = {
        {"untouched", studio.PublicKeyBase64(), [](SignedUpdate&) {}, ""},
        {"two keys stamped, signed by the second",
         stranger.PublicKeyBase64() + "," + studio.PublicKeyBase64(), [](SignedUpdate&) {}, ""},
        {"one byte of the manifest changed", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             std::string text = test::ReadFileText(run.Site() + "/" + manifest);
             text[text.find("Downloader")] = 'd';
             test::WriteFileText(run.Site() + "/" + manifest, text);
         },
         "does not match the bytes of"},
        {"signed by another key", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             test::WriteFileText(run.Site() + "/" + signature,
                                 stranger.Sign(test::ReadFileText(run.Site() + "/" + manifest)));
         },
         "does not match the bytes of"},
        {"signature missing", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) { fs::remove(run.Site() + "/" + signature); }, "current.xml.sig is missing"},
        {"signature empty", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) { test::WriteFileText(run.Site() + "/" + signature, ""); },
         "current.xml.sig is malformed: it is empty"},
        {"signature truncated", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             const std::string text = test::ReadFileText(run.Site() + "/" + signature);
             test::WriteFileText(run.Site() + "/" + signature, text.substr(0, text.size() / 2));
         },
         "current.xml.sig is malformed: it is not the base64 form"},
        {"the node list's signature swapped in", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             fs::copy_file(run.Site() + "/nodes/DP.xml.sig", run.Site() + "/" + signature,
                           fs::copy_options::overwrite_existing);
         },
         "does not match the bytes of"},
        {"the current version's run file published without sha256", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             publish::SitePublisher site(run.Site());
             site.SignWith(std::make_shared<publish::SigningKey>(studio));
             publish::PackageInfo unhashed{"DP", "DK", "2", "Downloader", "bin/downloader.sh", 65536};
             unhashed.hashFiles = false;
             site.PublishFolder(run.scratch / "downloader", unhashed);
         },
         "its run file bin\\/downloader.sh carries no sha256"},
        {"node list changed", studio.PublicKeyBase64(),
         [&](SignedUpdate& run) {
             std::string text = test::ReadFileText(run.Site() + "/nodes/DP.xml");
             text.replace(text.find("<Weight>1</Weight>"), 18, "<Weight>2</Weight>");
             test::WriteFileText(run.Site() + "/nodes/DP.xml", text);
         },
         "DP.xml under any of the 1 trusted keys (fetched twice)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SignedUpdate run(studio, c.trusted);
        c.tamper(run);
        const auto result = run.Run();
        const std::string log = run.Log();
        EXPECT_THAT(log, Not(HasSubstr("ManifestsNotVerified")));
        if (c.logged.empty()) {
            EXPECT_EQ(result.exitStatus, 0) << result.errors;
            EXPECT_THAT(result.output, HasSubstr("launched /host"));
            EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(100000, 'r'));
            continue;
        }
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_THAT(result.errors, HasSubstr(Updater::Message::NotVerified)) << result.errors;
        EXPECT_EQ(result.output, "");
        EXPECT_THAT(log, HasSubstr("ManifestTrustException"));
        EXPECT_THAT(log, HasSubstr(c.logged));
        // Not one byte of the refused package was asked for (the skin's transfer may run meanwhile).
        for (const auto& request : run.service->Records().requests) {
            EXPECT_THAT(request.path, Not(HasSubstr("/packages/DP/"))) << request.server;
        }
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/bin/downloader.sh"));
    }
}

TEST(SignedUpdateTest, AnOlderSignedCurrentManifestServedAgainIsRefusedInALaterRun) {
    const publish::SigningKey studio = publish::SigningKey::New();
    SignedUpdate run(studio, studio.PublicKeyBase64());
    const std::string manifest = run.Site() + "/manifests/SK/current.xml";
    const std::string older = test::ReadFileText(manifest);
    const std::string olderSignature = test::ReadFileText(manifest + ".sig");
    publish::SitePublisher site(run.Site());
    site.SignWith(std::make_shared<publish::SigningKey>(studio));
    run.Write("skin/skin.ini", "skin=4\n");
    site.PublishFolder(run.scratch / "skin", {"GP", "SK", "4", "Skin", "skin.ini", 65536});

    const auto first = run.Run();
    ASSERT_EQ(first.exitStatus, 0) << first.errors;
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/SK/skin.ini"), "skin=4\n");
    // What the run accepted is kept in the data folder, for the user alone.
    struct stat status {};
    ASSERT_EQ(::stat((run.DataFolder() + "/manifest-sequences.json").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    // The skin's earlier current manifest, validly signed, served again.
    test::WriteFileText(manifest, older);
    test::WriteFileText(manifest + ".sig", olderSignature);
    const auto replayed = run.Run();
    EXPECT_EQ(replayed.exitStatus, 1);
    EXPECT_THAT(replayed.errors, HasSubstr(Updater::Message::NotVerified));
    EXPECT_EQ(replayed.output, "");
    EXPECT_THAT(run.Log(), HasSubstr("ManifestTrustException"));
    EXPECT_THAT(run.Log(), HasSubstr("is below"));

    // The player may still ask for the earlier skin by its version.
    const auto asked = run.Run({"skinVersion=3"});
    EXPECT_EQ(asked.exitStatus, 0) << asked.errors;
    EXPECT_THAT(asked.output, HasSubstr("launched /host"));
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/SK/skin.ini"), "skin=1\n");
}

TEST(SignedUpdateTest, WithoutAStampedKeyTheRunWorksAndTheLogSaysSoOnce) {
    struct Case {
        const char* name;
        bool signedSite;
    };
    for (const Case c : {Case{"signed site", true}, Case{"unsigned site", false}}) {
        SCOPED_TRACE(c.name);
        SignedUpdate run(publish::SigningKey::New(), "");
        if (!c.signedSite) {
            std::vector<fs::path> signatures;
            for (const auto& entry : fs::recursive_directory_iterator(run.Site())) {
                if (entry.path().extension() == ".sig") {
                    signatures.push_back(entry.path());
                }
            }
            ASSERT_EQ(signatures.size(), 6u);
            for (const fs::path& signature : signatures) {
                fs::remove(signature);
            }
        }
        const auto result = run.Run();
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        EXPECT_THAT(result.output, HasSubstr("launched /host"));
        const std::string log = run.Log();
        const std::size_t first = log.find("\"event\":\"ManifestsNotVerified\"");
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find("\"event\":\"ManifestsNotVerified\"", first + 1), std::string::npos);
        // Nothing asked for a signature.
        for (const auto& request : run.service->Records().RequestsTo("manifest")) {
            EXPECT_THAT(request.path, Not(HasSubstr(".sig")));
        }
    }
}

// The line of `output` that holds `url` (a fragment of it), or "".
std::string LineWith(const std::string& output, const std::string& url) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(url) != std::string::npos) {
            return line;
        }
    }
    return "";
}

TEST(UpdaterCheckTest, EachUrlARunNeedsGetsALineAndAnyFaultFailsTheCheck) {
    const publish::SigningKey studio = publish::SigningKey::New();
    const publish::SigningKey stranger = publish::SigningKey::New();
    struct Case {
        const char* name;
        std::function<void(SignedUpdate&)> fault;
        std::string url;      // a fragment of the URL whose line says what went wrong ("" for no fault)
        std::string verdict;  // what that line says
        bool fails = true;    // whether that line, and the check, fail
    };
    // The partner's node list signed again, expiring in `days` from a clock `shift` seconds from now.
    const auto resignNodeList = [&](SignedUpdate& run, unsigned days, std::int64_t shift) {
        publish::SitePublisher site(run.Site());
        site.SignWith(std::make_shared<publish::SigningKey>(studio));
        site.SetClock([shift] { return static_cast<std::int64_t>(std::time(nullptr)) + shift; });
        site.ExpireAfterDays(days);
        std::vector<publish::NodeInfo> nodes;
        for (int i = 0; i < run.service->NodeCount(); ++i) {
            // Another weight, so that the list is a new publication.
            nodes.push_back({"node" + std::to_string(i), run.service->NodeHost(i), "/packages/", 2});
        }
        site.PublishNodeList("GP", nodes);
    };
    const std::vector<Case> cases = {
        {"all well", [](SignedUpdate&) {}, "", ""},
        {"skin manifest not published",
         [](SignedUpdate& run) { run.service->AddFault({.path = "/manifests/SK/", .status = 404}); },
         "/manifests/SK/current.xml ", "HTTP 404"},
        {"skin manifest signed by another key",
         [&](SignedUpdate& run) {
             const std::string manifest = run.Site() + "/manifests/SK/current.xml";
             test::WriteFileText(manifest + ".sig", stranger.Sign(test::ReadFileText(manifest)));
         },
         "/manifests/SK/current.xml ", "does not match the bytes of"},
        {"node list signature missing",
         [](SignedUpdate& run) { fs::remove(run.Site() + "/nodes/GP.xml.sig"); }, "/nodes/GP.xml.sig",
         "HTTP 404"},
        {"a node refuses the package",
         [](SignedUpdate& run) { run.service->AddFault({.server = "node1", .status = 403}); }, "<node1>",
         "HTTP 403"},
        {"a node sends other bytes",
         [](SignedUpdate& run) { run.service->AddFault({.server = "node0", .wrong = true}); }, "<node0>",
         "first chunk differs from the manifest"},
        {"node list expiring in 3 days", [&](SignedUpdate& run) { resignNodeList(run, 3, 0); },
         "/nodes/GP.xml ", "WARNING: within 7 days", false},
        {"node list expired", [&](SignedUpdate& run) { resignNodeList(run, 1, -2 * 86400); },
         "/nodes/GP.xml ", "EXPIRED"},
        {"a node ignores ranges",
         [](SignedUpdate& run) { run.service->AddFault({.server = "node0", .ignoreRange = true}); },
         "<node0>", "the whole file instead of a range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SignedUpdate run(studio, studio.PublicKeyBase64());
        c.fault(run);
        const auto result = run.Run({"--check"});
        std::string url = c.url;
        if (url == "<node0>" || url == "<node1>") {
            url = run.service->NodeHost(url == "<node0>" ? 0 : 1) + "/packages/DP/";
        }
        // Documents and their signatures, and the first chunk from each of the two nodes, per package.
        for (const std::string& fragment :
             {std::string("/manifests/DK/current.xml "), std::string("/manifests/DK/current.xml.sig"),
              std::string("/nodes/DP.xml "), std::string("/nodes/DP.xml.sig"), std::string("/manifests/SK/"),
              std::string("/nodes/GP.xml"), run.service->NodeHost(0) + "/packages/DP/DK/1/",
              run.service->NodeHost(1) + "/packages/DP/DK/1/"}) {
            const std::string line = LineWith(result.output, fragment);
            ASSERT_NE(line, "") << fragment << "\n" << result.output;
            if (url.empty() || !c.fails || line.find(url) == std::string::npos) {
                EXPECT_EQ(line.rfind("ok ", 0), 0u) << line;
            }
        }
        if (url.empty() || !c.fails) {
            EXPECT_EQ(result.exitStatus, 0) << result.output << result.errors;
            EXPECT_THAT(LineWith(result.output, url.empty() ? "/nodes/GP.xml " : url), HasSubstr(c.verdict));
        } else {
            EXPECT_EQ(result.exitStatus, 1) << result.output;
            const std::string line = LineWith(result.output, url);
            EXPECT_EQ(line.rfind("FAIL ", 0), 0u) << line;
            EXPECT_THAT(line, HasSubstr(c.verdict));
        }
        // Nothing was downloaded beyond the first chunks, and nothing was kept for a later run.
        for (const auto& request : run.service->Records().requests) {
            if (request.path.rfind("/packages/", 0) == 0) {
                EXPECT_EQ(request.range.rfind("bytes=0-", 0), 0u) << request.path;
            }
        }
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/data"));
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/manifest-sequences.json"));
    }
}

}  // namespace
}  // namespace halcyne
