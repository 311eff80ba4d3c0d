// halcyne-publish as a studio runs it: its arguments and messages, and a site that the local delivery
// service and nginx serve as it stands, byte for byte, and that the engine downloads from nginx nodes.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "EngineFormats.hpp"
#include "SigningKey.hpp"
#include "common/NoValueMarker.hpp"
#include "http/CurlHttpRequest.hpp"
#include "http/HttpStringstreamWriter.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifest.hpp"
#include "support/DeliveryService.hpp"
#include "support/PipelineHarness.hpp"
#include "support/TestSupport.hpp"
#include "support/WebServers.hpp"
#include "transfer/DownloadEngine.hpp"

namespace halcyne {
namespace {

test::ProcessResult Publish(const std::vector<std::string>& arguments) {
    return test::RunProgram(test::BuiltProgram("tools/halcyne-publish"), arguments);
}

// Writes a file, creating its folders.
void Put(const std::string& path, const std::string& bytes) {
    boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
    test::WriteFileText(path, bytes);
}

std::string Get(const std::string& url) {
    std::stringstream body;
    HttpStringstreamWriter writer(&body);
    HttpRequestParams params(url, &writer);
    CurlHttpRequest request(params, "");
    const HttpRequestStatus status = request.Perform();
    EXPECT_EQ(status.result, HttpRequestResult::Success) << url << ": " << status.errorMessage;
    return body.str();
}

// A wrong command line is refused with status 2 before anything is written (a new key included); what the
// tool finds wrong once it looks at files and hosts ends with status 1.
TEST(PublishToolTest, HelpAndArgumentErrors) {
    const auto help = Publish({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("usage: halcyne-publish"), std::string::npos);

    test::ScratchFolder folder;
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
        int status;
    };
    const std::vector<Case> cases = {
        {{"--from", folder.Path()}, "--site is required", 2},
        {{"--site", folder / "site"}, "nothing to publish", 2},
        {{"--site", folder / "site", "--node", "127.0.0.1:1"}, "--partner is required", 2},
        {{"--site", folder / "site", "--partner", "P", "--from", folder.Path()},
         "--package and --version are required with --from",
         2},
        {{"--site", folder / "site", "--partner", "P", "--new-partner", "--from", folder / "none",
          "--package", "K", "--version", "V"},
         "not a folder: " + folder / "none",
         1},
        {{"--site", folder / "site", "--chunk-size", "0"}, "bad --chunk-size: 0", 2},
        {{"--site", folder / "site", "--chunk-size", "1"}, "bad --chunk-size: 1 (at least 65536 bytes)", 2},
        {{"--site", folder / "site", "--chunk-size", "65535"}, "bad --chunk-size: 65535 (at least 65536", 2},
        {{"--site", folder / "site", "--bogus", "1"}, "unknown option '--bogus'", 2},
        {{"--site", folder / "site", "--key", folder / "none.key", "--partner", "P", "--node", "127.0.0.1:1"},
         "cannot read " + folder / "none.key",
         1},
        {{"--key", folder / "a.key", "--generate-key", folder / "b.key"},
         "give either --key or --generate-key",
         2},
        {{"--site", folder / "site", "--expires", "0"},
         "bad --expires: 0 (a number of days from 1 to 3650)",
         2},
        {{"--site", folder / "site", "--expires", "3651"}, "bad --expires: 3651", 2},
        {{"--site", folder / "site", "--expires", "7", "--partner", "P", "--node", "127.0.0.1:1"},
         "--expires applies to signed documents: give --key",
         2},
        {{"--site", folder / "site", "--resign"}, "--resign needs the signing key (--key)", 2},
        {{"--site", folder / "site", "--partner", "P", "--node", "=127.0.0.1:1"}, "bad --node argument", 2},
        // The usage error comes before the key would be generated.
        {{"--site", folder / "site", "--generate-key", folder / "new.key"}, "nothing to publish", 2},
        {{"--site", folder / "site", "--version"}, "--version needs a value", 2},
        {{"--site", folder / "site", "--partner", "P", "--replace-nodes"},
         "--replace-nodes goes with --node",
         2},
        {{"--site", folder / "site", "--partner", "P", "--node", "h:1", "--add-node", "h:2"},
         "--node gives the whole node list: it does not go with --add-node or --remove-node",
         2},
        {{"--site", folder / "site", "--partner", "P", "--add-node", "=h:1"},
         "bad --add-node argument: =h:1",
         2},
        {{"--site", folder / "site", "--partner", "P", "--node", "h:1", "--exclude", "*.tmp"},
         "--exclude goes with --from",
         2},
        {{"--site", folder / "site", "--set-current", "1"}, "--set-current needs the package (--package)", 2},
        {{"--site", folder / "site", "--list", "--partner", "P", "--node", "h:1"},
         "publishing (--from, node list options), --set-current, --list, --check and --resign each run on "
         "their own",
         2},
        {{"--site", folder / "site", "--list", "--key", folder / "a.key"},
         "--list reads the site as it stands",
         2},
        {{"--site", folder / "site", "--public-key", folder / "a.pub", "--partner", "P", "--node", "h:1"},
         "--public-key goes with --check",
         2},
        {{"--site", folder / "none", "--check"}, "no site at " + folder / "none", 1},
    };
    for (const Case& c : cases) {
        const auto result = Publish(c.arguments);
        EXPECT_EQ(result.exitStatus, c.status) << c.message;
        EXPECT_NE(result.errors.find("halcyne-publish: " + c.message), std::string::npos)
            << c.message << ": " << result.errors;
    }
    EXPECT_FALSE(boost::filesystem::exists(folder / "new.key"));
}

// A partner's node list changes only on purpose: --node writes a first list, replaces one only with
// --replace-nodes; --add-node and --remove-node change single nodes; every change shows the list before and
// after, and a refusal changes nothing.
TEST(PublishToolTest, NodeListsChangeOnlyOnPurposeAndEveryChangeShowsTheListBeforeAndAfter) {
    test::ScratchFolder folder;
    const std::string site = folder / "site";
    const std::string shown = "node list of partner P (nodes/P.xml) before:\n";
    struct Step {
        const char* label;
        std::vector<std::string> arguments;
        int status;
        std::string output;  // on standard output
        std::string error;   // on standard error ("" for none)
        std::vector<std::string> hosts;
    };
    const Step steps[] = {
        {"a first list",
         {"--new-partner", "--node", "127.0.0.1:81", "--node", "127.0.0.1:82"},
         0,
         shown +
             "  (no node list)\nafter:\n  node1 127.0.0.1:81 /packages/\n  node2 127.0.0.1:82 /packages/\n",
         "",
         {"127.0.0.1:81", "127.0.0.1:82"}},
        {"a node meant to be added does not replace the list",
         {"--node", "127.0.0.1:83"},
         1,
         "",
         "partner P has a node list already (node1, node2): --node replaces it only with --replace-nodes",
         {"127.0.0.1:81", "127.0.0.1:82"}},
        {"added",
         {"--add-node", "127.0.0.1:83"},
         0,
         shown + "  node1 127.0.0.1:81 /packages/\n  node2 127.0.0.1:82 /packages/\nafter:\n"
                 "  node1 127.0.0.1:81 /packages/\n  node2 127.0.0.1:82 /packages/\n  node3 127.0.0.1:83 "
                 "/packages/\n",
         "",
         {"127.0.0.1:81", "127.0.0.1:82", "127.0.0.1:83"}},
        {"removed",
         {"--remove-node", "node1", "--remove-node", "127.0.0.1:83"},
         0,
         shown + "  node1 127.0.0.1:81 /packages/\n  node2 127.0.0.1:82 /packages/\n  node3 127.0.0.1:83 "
                 "/packages/\n"
                 "after:\n  node2 127.0.0.1:82 /packages/\n",
         "",
         {"127.0.0.1:82"}},
        {"the last node stays",
         {"--remove-node", "node2"},
         1,
         "",
         "would be left without nodes",
         {"127.0.0.1:82"}},
        {"replaced on purpose",
         {"--replace-nodes", "--node", "cdn=https://cdn.example:443"},
         0,
         shown + "  node2 127.0.0.1:82 /packages/\nafter:\n  cdn https://cdn.example:443 /packages/\n",
         "",
         {"https://cdn.example:443"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.label);
        std::vector<std::string> arguments = {"--site", site, "--partner", "P"};
        arguments.insert(arguments.end(), step.arguments.begin(), step.arguments.end());
        const auto result = Publish(arguments);
        EXPECT_EQ(result.exitStatus, step.status) << result.errors;
        EXPECT_EQ(result.output, step.output);
        if (step.error.empty()) {
            EXPECT_EQ(result.errors, "");
        } else {
            EXPECT_THAT(result.errors, ::testing::HasSubstr(step.error));
        }
        std::vector<std::string> hosts;
        const auto list = test::LoadNodeListXml(test::ReadFileText(site + "/nodes/P.xml"));
        for (const auto& node : list->GetNodes()) {
            hosts.push_back(node->GetHost());
        }
        EXPECT_EQ(hosts, step.hosts);
    }
}

// A partner id that the site has never seen (a typo) publishes nothing, unless it is meant to be new; a new
// partner without a node list is published with a warning that its players can download nothing yet.
TEST(PublishToolTest, APartnerNewToTheSiteIsRefusedUnlessAskedFor) {
    test::ScratchFolder folder;
    Put(folder / "package/run.sh", "#!/bin/sh\n");
    const std::string site = folder / "site";
    ASSERT_EQ(
        Publish({"--site", site, "--partner", "P", "--new-partner", "--node", "127.0.0.1:1"}).exitStatus, 0);
    // A package id is the site's, whatever the partner: each partner here publishes its own.
    const auto package = [&](const std::string& partner, bool isNew) {
        std::vector<std::string> arguments = {"--site",    site,    "--from",    folder / "package",
                                              "--partner", partner, "--package", "K" + partner,
                                              "--version", "1",     "--name",    "N"};
        if (isNew) {
            arguments.push_back("--new-partner");
        }
        return Publish(arguments);
    };
    const auto typo = package("Q", false);
    EXPECT_EQ(typo.exitStatus, 1);
    EXPECT_THAT(typo.errors, ::testing::HasSubstr("partner Q is not in the site " + site +
                                                  " (no node list, no package of it): check the id"));
    EXPECT_FALSE(boost::filesystem::exists(site + "/manifests"));
    EXPECT_FALSE(boost::filesystem::exists(site + "/packages"));

    const auto known = package("P", false);
    EXPECT_EQ(known.exitStatus, 0) << known.errors;
    EXPECT_EQ(known.errors, "");
    const auto meant = package("Q", true);
    EXPECT_EQ(meant.exitStatus, 0) << meant.errors;
    EXPECT_THAT(meant.errors, ::testing::HasSubstr("warning: partner Q has no node list yet"));
    // Its package makes the partner known: the next publication needs no --new-partner.
    EXPECT_EQ(Publish({"--site", site, "--partner", "Q", "--node", "127.0.0.1:2"}).exitStatus, 0);
}

// The tool on a terminal shows its progress on standard error (files, bytes, rate) and ends the line;
// --quiet, or standard error that is not a terminal, shows none.
TEST(PublishToolTest, ProgressIsShownOnATerminalUnlessQuiet) {
    test::ScratchFolder folder;
    Put(folder / "package/a", std::string(3 * 1024 * 1024, 'a'));
    Put(folder / "package/b", "b");
    // The tool with a pseudo-terminal as its standard output and error; returns what it wrote there.
    const auto onTerminal = [&](const std::vector<std::string>& extra, const std::string& version) {
        std::vector<std::string> arguments = {test::BuiltProgram("tools/halcyne-publish"),
                                              "--site",
                                              folder / "site",
                                              "--from",
                                              folder / "package",
                                              "--partner",
                                              "P",
                                              "--package",
                                              "K",
                                              "--version",
                                              version,
                                              "--name",
                                              "N"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        std::string output;
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;) {
            output.append(buffer, static_cast<std::size_t>(got));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(master);
        EXPECT_EQ(status, 0) << output;
        return output;
    };
    ASSERT_EQ(Publish({"--site", folder / "site", "--partner", "P", "--new-partner", "--node", "127.0.0.1:1"})
                  .exitStatus,
              0);
    const std::string shown = onTerminal({}, "1");
    EXPECT_THAT(shown, ::testing::HasSubstr("publishing K version 1: 0 of 2 files, 0 B of 3.0 MiB"));
    EXPECT_THAT(shown, ::testing::ContainsRegex("publishing K version 1: 2 of 2 files, 3.0 MiB of 3.0 MiB(, "
                                                "[0-9.]+ [KMG]?i?B/s)?\r?\n$"));
    EXPECT_EQ(onTerminal({"--quiet"}, "2"), "");
    const auto piped = Publish({"--site", folder / "site", "--from", folder / "package", "--partner", "P",
                                "--package", "K", "--version", "3", "--name", "N"});
    EXPECT_EQ(piped.exitStatus, 0);
    EXPECT_EQ(piped.errors, "");
}

// What a studio runs against its site: the listing, a rollback without copying, and the check that names a
// damaged file and warns of an expiry within a week.
TEST(PublishToolTest, ListSetCurrentAndCheck) {
    test::ScratchFolder folder;
    const std::string site = folder / "site";
    const std::string key = folder / "studio.key";
    ASSERT_EQ(Publish({"--generate-key", key}).exitStatus, 0);
    for (const std::string version : {"1", "2"}) {
        Put(folder / ("v" + version + "/run.sh"), "#!/bin/sh\necho " + version + "\n");
        const auto published = Publish({"--site",    site,         "--key",         key,
                                        "--expires", "5",          "--from",        folder / ("v" + version),
                                        "--partner", "P",          "--new-partner", "--package",
                                        "K",         "--version",  version,         "--name",
                                        "Game",      "--run",      "run.sh",        "--replace-nodes",
                                        "--node",    "127.0.0.1:1"});
        ASSERT_EQ(published.exitStatus, 0) << published.errors;
    }
    const auto rollback =
        Publish({"--site", site, "--key", key, "--expires", "5", "--package", "K", "--set-current", "1"});
    ASSERT_EQ(rollback.exitStatus, 0) << rollback.errors;
    EXPECT_EQ(rollback.output, "current version of package K: 2 -> 1\n");
    const auto listed = Publish({"--site", site, "--list"});
    EXPECT_EQ(listed.exitStatus, 0);
    EXPECT_THAT(
        listed.output,
        ::testing::ContainsRegex("package K \"Game\", partner P\n"
                                 "  version 1: signed, current \\(sequence [0-9]+, expires [-0-9T:]+Z \\(in "
                                 "[45] days\\)\\)\n"
                                 "  version 2: signed\n"
                                 "node list of partner P: signed \\(sequence [0-9]+, expires"));

    const auto checked = Publish({"--site", site, "--check", "--public-key", key + ".pub"});
    EXPECT_EQ(checked.exitStatus, 0) << checked.output;
    EXPECT_THAT(checked.output, ::testing::HasSubstr("warning: manifests/K/current.xml: expires "));
    EXPECT_THAT(checked.output,
                ::testing::HasSubstr("checked 2 version manifests with 2 files (34 B) and 2 current "
                                     "manifests and node lists: no problem\n"));
    test::WriteFileText(site + "/packages/P/K/2/run.sh", "#!/bin/sh\necho 3\n");
    const auto damaged = Publish({"--site", site, "--check", "--key", key});
    EXPECT_EQ(damaged.exitStatus, 1);
    EXPECT_THAT(damaged.output,
                ::testing::HasSubstr("problem: packages/P/K/2/run.sh (manifests/K/2.xml): chunk 0 (from "
                                     "byte 0): its CRC-32 differs from the manifest's\n"));
    EXPECT_THAT(damaged.output, ::testing::HasSubstr(": 1 problem\n"));
}

// Empty files and exclusions end to end: a folder with placeholders and files to leave out, published by the
// tool and downloaded by the engine from the delivery service; the empty files arrive without a request.
TEST(PublishToolTest, EmptyFilesArriveThroughTheEngineAndExcludedFilesStayBehind) {
    test::ScratchFolder scratch;
    const test::ScopedEnvironment tmpdir("TMPDIR", scratch / "tmp");
    boost::filesystem::create_directories(scratch / "tmp");
    const std::map<std::string, std::string> files = {
        {"bin/run.sh", "#!/bin/sh\necho hello\n"},
        {"saves/.keep", ""},
        {"logs/.keep", ""},
        {"data/table.bin", std::string(70000, 't')},
    };
    for (const auto& [path, bytes] : files) {
        Put(scratch / ("source/" + path), bytes);
    }
    for (const std::string left : {".git/HEAD", "data/table.bin.tmp", "logs/old/today.log"}) {
        Put(scratch / ("source/" + left), "left out");
    }
    boost::filesystem::create_directories(scratch / "site");
    test::LocalDeliveryService service({.site = scratch / "site", .content = {}, .nodes = 2});
    const auto published = Publish({"--site",
                                    scratch / "site",
                                    "--from",
                                    scratch / "source",
                                    "--exclude",
                                    ".git",
                                    "--exclude",
                                    "*.tmp",
                                    "--exclude",
                                    "logs/old",
                                    "--partner",
                                    "P",
                                    "--new-partner",
                                    "--package",
                                    "K",
                                    "--version",
                                    "1",
                                    "--name",
                                    "Demo",
                                    "--run",
                                    "bin/run.sh",
                                    "--chunk-size",
                                    "65536",
                                    "--node",
                                    "n0=" + service.NodeHost(0),
                                    "--node",
                                    "n1=" + service.NodeHost(1)});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;
    EXPECT_EQ(published.errors, "");

    EngineSettings settings;
    settings.manifestHost = service.ManifestHost();
    TransferStatus status;
    {
        DownloadEngine engine(settings);
        const std::string id = engine.StartTransfer("P", "K", std::string(NoValueMarker)).transferId;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const auto waitFor = [&](TransferState state) {
            for (status = engine.GetTransferStatus(id);
                 status.state != state && status.error == TransferError::None &&
                 std::chrono::steady_clock::now() < deadline;
                 status = engine.GetTransferStatus(id)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        waitFor(TransferState::Initialized);
        ASSERT_EQ(status.state, TransferState::Initialized) << static_cast<int>(status.error);
        EXPECT_EQ(status.totalBytes, 21u + 70000u);
        engine.StartTransferInto(id, scratch / "dest");
        waitFor(TransferState::Complete);
    }
    ASSERT_EQ(status.state, TransferState::Complete) << static_cast<int>(status.error);
    std::vector<std::string> arrived;
    for (boost::filesystem::recursive_directory_iterator it(scratch / "dest"), end; it != end; ++it) {
        if (boost::filesystem::is_regular_file(it->path())) {
            arrived.push_back(it->path().lexically_relative(scratch / "dest").generic_string());
        }
    }
    std::sort(arrived.begin(), arrived.end());
    EXPECT_EQ(arrived,
              (std::vector<std::string>{"bin/run.sh", "data/table.bin", "logs/.keep", "saves/.keep"}));
    for (const auto& [path, bytes] : files) {
        EXPECT_EQ(test::ReadFileText(scratch / ("dest/" + path)), bytes) << path;
    }
    for (const auto& request : service.Records().requests) {
        EXPECT_EQ(request.path.find(".keep"), std::string::npos) << request.path;
    }
}

TEST(PublishToolTest, AGeneratedKeySignsWhatIsPublishedAndIsNeverReplaced) {
    test::ScratchFolder folder;
    boost::filesystem::create_directories(folder / "package");
    test::WriteFileText(folder / "package/run.sh", "#!/bin/sh\n");
    const std::string key = folder / "studio.key";
    const auto generated = Publish({"--generate-key", key});
    ASSERT_EQ(generated.exitStatus, 0) << generated.errors;
    EXPECT_EQ(generated.output, test::ReadFileText(key + ".pub"));
    const auto again = Publish({"--generate-key", key});
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.errors.find("already exists; it is never overwritten"), std::string::npos)
        << again.errors;

    const auto published = Publish({"--site", folder / "site", "--key", key, "--from", folder / "package",
                                    "--partner", "P", "--package", "K", "--version", "1", "--name", "N",
                                    "--run", "run.sh", "--new-partner", "--node", "127.0.0.1:1"});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;
    const ManifestVerifier verifier(test::ReadFileText(key + ".pub"));
    for (const std::string document : {"manifests/K/1.xml", "manifests/K/current.xml", "nodes/P.xml"}) {
        EXPECT_EQ(verifier.Check(test::ReadFileText(folder / ("site/" + document)),
                                 test::ReadFileText(folder / ("site/" + document + ".sig"))),
                  SignatureCheck::Valid)
            << document;
    }
    // Once signed, the site takes nothing unsigned.
    const auto unsigned_ = Publish({"--site", folder / "site", "--partner", "P", "--node", "127.0.0.1:2"});
    EXPECT_EQ(unsigned_.exitStatus, 1);
    EXPECT_NE(unsigned_.errors.find("give the signing key with --key"), std::string::npos)
        << unsigned_.errors;
}

TEST(PublishToolTest, SignedCurrentDocumentsExpireAfterTheDaysGivenAndResignRefreshesThem) {
    test::ScratchFolder folder;
    boost::filesystem::create_directories(folder / "package");
    test::WriteFileText(folder / "package/run.sh", "#!/bin/sh\n");
    const std::string key = folder / "studio.key";
    const std::string site = folder / "site";
    ASSERT_EQ(Publish({"--generate-key", key}).exitStatus, 0);
    const auto seconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const ManifestVerifier verifier(test::ReadFileText(key + ".pub"));
    // Each signed document's sequence (at least the clock's seconds when it was written) and expiry (that
    // many days later), and its signature.
    const auto check = [&](std::int64_t start, std::int64_t end, std::int64_t days) {
        std::map<std::string, std::uint64_t> sequences;
        for (const std::string document : {"manifests/K/current.xml", "nodes/P.xml"}) {
            SCOPED_TRACE(document);
            const std::string text = test::ReadFileText(site + "/" + document);
            const DocumentStamp stamp = publish::ReadDocumentStamp(text, document.starts_with("nodes/"));
            const auto expires = ParseUtcTime(stamp.expires.value_or(""));
            EXPECT_TRUE(expires && *expires >= start + days * 86400 && *expires <= end + days * 86400)
                << stamp.expires.value_or("none");
            sequences[document] = std::stoull(stamp.sequence.value_or("0"));
            EXPECT_GE(sequences[document], static_cast<std::uint64_t>(start));
            EXPECT_EQ(verifier.Check(text, test::ReadFileText(site + "/" + document + ".sig")),
                      SignatureCheck::Valid);
        }
        return sequences;
    };

    std::int64_t start = seconds();
    const auto published = Publish(
        {"--site",           site,        "--key", key,         "--expires", "7",           "--from",
         folder / "package", "--partner", "P",     "--package", "K",         "--version",   "1",
         "--name",           "N",         "--run", "run.sh",    "--node",    "127.0.0.1:1", "--new-partner"});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;
    const auto first = check(start, seconds(), 7);
    EXPECT_EQ(publish::ReadDocumentStamp(test::ReadFileText(site + "/manifests/K/1.xml"), false).sequence,
              std::nullopt);

    const auto mixed =
        Publish({"--site", site, "--key", key, "--resign", "--partner", "P", "--node", "127.0.0.1:2"});
    EXPECT_EQ(mixed.exitStatus, 2);  // a wrong command line
    EXPECT_THAT(mixed.errors, ::testing::HasSubstr("--resign refreshes the site as it stands"));

    const std::string version = test::ReadFileText(site + "/manifests/K/1.xml");
    start = seconds();
    const auto resigned = Publish({"--site", site, "--key", key, "--resign", "--expires", "2"});
    ASSERT_EQ(resigned.exitStatus, 0) << resigned.errors;
    EXPECT_EQ(resigned.output, "signed again: manifests/K/current.xml\nsigned again: nodes/P.xml\n");
    const auto second = check(start, seconds(), 2);
    for (const auto& [document, sequence] : second) {
        EXPECT_GT(sequence, first.at(document)) << document;
    }
    EXPECT_EQ(test::ReadFileText(site + "/manifests/K/1.xml"), version);

    // An unsigned site has nothing to sign again.
    const auto bare =
        Publish({"--site", folder / "bare", "--partner", "P", "--new-partner", "--node", "127.0.0.1:1"});
    ASSERT_EQ(bare.exitStatus, 0) << bare.errors;
    const auto refused = Publish({"--site", folder / "bare", "--key", key, "--resign"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_THAT(refused.errors, ::testing::HasSubstr("is not signed: publish into it with --key first"));
}

TEST(PublishToolTest, NodeArgumentsBecomeTheNodesTheEngineLoads) {
    test::ScratchFolder site;
    const auto published = Publish({"--site", site.Path(), "--partner", "P", "--new-partner", "--node",
                                    "127.0.0.1:9", "--node", "cdn=https://cdn.example:8443/files/", "--node",
                                    "HTTPS://[::1]:8443", "--node", "http://h:81/x"});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;
    const auto nodes = test::LoadNodeListXml(test::ReadFileText(site / "nodes/P.xml"))->GetNodes();
    const struct {
        const char* id;
        const char* host;
        const char* path;
    } expected[] = {
        {"node1", "127.0.0.1:9", "/packages/"},
        {"cdn", "https://cdn.example:8443", "/files/"},
        {"node3", "https://[::1]:8443", "/packages/"},
        {"node4", "h:81", "/x/"},
    };
    ASSERT_EQ(nodes.size(), std::size(expected));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i]->GetNodeId(), expected[i].id);
        EXPECT_EQ(nodes[i]->GetHost(), expected[i].host);
        EXPECT_EQ(nodes[i]->GetPath(), expected[i].path);
    }
}

TEST(PublishToolTest, ANodeHostTheEngineRefusesIsRefusedBeforeAnythingIsWritten) {
    test::ScratchFolder folder;
    test::WriteFileText(folder / "run.sh", "#!/bin/sh\n");
    // The engine drops a whole node list for one such host: every player of the partner would lose every
    // node.
    for (const std::string host : {"h:0", ":99999", "h:99999", "user@h", "h:", "https://", "h:8o", "[::1"}) {
        SCOPED_TRACE(host);
        const auto result =
            Publish({"--site", folder / "site", "--from", folder.Path(), "--partner", "P", "--package", "K",
                     "--version", "1", "--name", "N", "--node", "127.0.0.1:1", "--node", "bad=" + host});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_THAT(result.errors, ::testing::HasSubstr("node bad: bad host \"" + host + "\""));
    }
}

TEST(PublishToolTest, ASecondPublicationIntoTheSameSiteAtOnceIsRefused) {
    test::ScratchFolder site;
    const int held = ::open(site.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const auto result = Publish({"--site", site.Path(), "--partner", "P", "--node", "127.0.0.1:1"});
    ::close(held);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_THAT(result.errors, ::testing::HasSubstr("another publication is writing into " + site.Path()));
    EXPECT_FALSE(boost::filesystem::exists(site / "nodes/P.xml"));
}

// The tool is killed just before each of its renames in turn (a preloaded rename() kills it). After every
// kill, each document served verifies against the signature file served beside it, and so does the document
// it replaces (a cache may still serve that one); the next run completes and removes the temporary files the
// killed one left.
TEST(PublishToolTest, AKillAtAnyStepLeavesEverySignedDocumentVerifiable) {
    namespace fs = boost::filesystem;
    test::ScratchFolder scratch;
    const publish::SigningKey key = publish::SigningKey::Generate(scratch / "studio.key");
    const ManifestVerifier client(key.PublicKeyBase64());
    for (const std::string version : {"1", "2"}) {
        fs::create_directories(scratch / ("v" + version + "/bin"));
        test::WriteFileText(scratch / ("v" + version + "/bin/run.sh"), "#!/bin/sh\necho " + version + "\n");
        test::WriteFileText(scratch / ("v" + version + "/data"), std::string(70000, version[0]));
    }
    const auto arguments = [&](const std::string& site, const std::string& version) {
        return std::vector<std::string>{"--site",        site,
                                        "--key",         scratch / "studio.key",
                                        "--from",        scratch / ("v" + version),
                                        "--partner",     "P",
                                        "--package",     "K",
                                        "--version",     version,
                                        "--name",        "N",
                                        "--run",         "bin/run.sh",
                                        "--new-partner", "--replace-nodes",
                                        "--node",        "127.0.0.1:" + version};
    };
    ASSERT_EQ(Publish(arguments(scratch / "base", "1")).exitStatus, 0);
    const std::string oldManifest = test::ReadFileText(scratch / "base/manifests/K/current.xml");
    const std::string oldNodes = test::ReadFileText(scratch / "base/nodes/P.xml");
    const std::string site = scratch / "site";
    const auto temporaryFiles = [&] {
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator it(site), end; it != end; ++it) {
            if (it->path().filename().string().find(".publishing-") != std::string::npos) {
                found.push_back(it->path().string());
            }
        }
        return found;
    };
    const auto checkServed = [&] {
        for (const std::string document :
             {"manifests/K/1.xml", "manifests/K/2.xml", "manifests/K/current.xml", "nodes/P.xml"}) {
            if (fs::exists(site + "/" + document)) {
                EXPECT_EQ(client.Check(test::ReadFileText(site + "/" + document),
                                       test::ReadFileText(site + "/" + document + ".sig")),
                          SignatureCheck::Valid)
                    << document;
            }
        }
        EXPECT_EQ(client.Check(oldManifest, test::ReadFileText(site + "/manifests/K/current.xml.sig")),
                  SignatureCheck::Valid);
        EXPECT_EQ(client.Check(oldNodes, test::ReadFileText(site + "/nodes/P.xml.sig")),
                  SignatureCheck::Valid);
    };
    int step = 1;
    for (;; ++step) {
        SCOPED_TRACE("killed before rename " + std::to_string(step));
        fs::remove_all(site);
        fs::copy(scratch / "base", site, fs::copy_options::recursive);
        const auto killed =
            test::RunProgram(test::BuiltProgram("tools/halcyne-publish"), arguments(site, "2"),
                             {"LD_PRELOAD=" + test::BinaryDir() + "/tests/kill_at_rename.so",
                              "HALCYNE_KILL_AT_RENAME=" + std::to_string(step)});
        if (killed.exitStatus == 0) {
            break;  // no rename left to stop at
        }
        ASSERT_EQ(killed.exitStatus, 128 + SIGKILL) << killed.errors;
        checkServed();
        if (step == 1) {
            EXPECT_FALSE(temporaryFiles().empty());  // the copies of the package's files
        }
        const auto resumed = Publish(arguments(site, "2"));
        ASSERT_EQ(resumed.exitStatus, 0) << resumed.errors;
        checkServed();
        EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
        // current.xml is 2.xml with a stamp.
        EXPECT_EQ(
            std::regex_replace(test::ReadFileText(site + "/manifests/K/current.xml"),
                               std::regex("<sequence>[0-9]+</sequence><expires>[-0-9T:Z]+</expires>"), ""),
            test::ReadFileText(site + "/manifests/K/2.xml"));
    }
    // Two package files, then a signature and a document each for 2.xml, current.xml and the node list.
    EXPECT_EQ(step, 9);
    checkServed();
}

TEST(PublishToolTest, ThePublishedSiteIsServedByteForByteByTheDeliveryServiceAndNginx) {
    test::ScratchFolder source;
    test::ScratchFolder site;
    std::map<std::string, std::string> files = {
        {"run.sh", "#!/bin/sh\necho hello\n"},
        {"data/odd size", std::string(100000, 'x') + "tail"},  // two chunks, the last one short
        {"data/ä/ü.txt", "umlauts"},
    };
    for (const auto& [path, bytes] : files) {
        boost::filesystem::create_directories(boost::filesystem::path(source / path).parent_path());
        test::WriteFileText(source / path, bytes);
    }
    auto published = Publish({"--site", site.Path(), "--from", source.Path(), "--partner", "P", "--package",
                              "K", "--version", "1.0", "--name", "Demo", "--run", "run.sh", "--chunk-size",
                              "65536", "--new-partner", "--node", "127.0.0.1:9"});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;

    test::LocalDeliveryService service({.site = site.Path(), .content = {}, .nodes = 3});
    std::vector<std::string> nodeArguments = {"--site", site.Path(), "--partner", "P", "--replace-nodes"};
    for (int i = 0; i < 3; ++i) {
        nodeArguments.insert(nodeArguments.end(),
                             {"--node", "n" + std::to_string(i) + "=" + service.NodeHost(i)});
    }
    published = Publish(nodeArguments);
    ASSERT_EQ(published.exitStatus, 0) << published.errors;

    const std::string manifest = Get("http://" + service.ManifestHost() + "/manifests/K/current.xml");
    EXPECT_EQ(manifest, test::ReadFileText(site / "manifests/K/1.0.xml"));
    const std::string nodes = Get("http://" + service.ManifestHost() + "/nodes/P.xml");
    EXPECT_NE(nodes.find("<NodeId>n2</NodeId><Host>" + service.NodeHost(2) + "</Host>"), std::string::npos);

    test::NginxServer nginx(site.Path());
    for (const auto& [path, bytes] : files) {
        std::string encoded = path;
        if (path == "data/odd size") {
            encoded = "data/odd%20size";
        } else if (path == "data/ä/ü.txt") {
            encoded = "data/%C3%A4/%C3%BC.txt";
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Get("http://" + service.NodeHost(i) + "/packages/P/K/1.0/" + encoded), bytes) << path;
        }
        EXPECT_EQ(Get("http://" + nginx.Host() + "/packages/P/K/1.0/" + encoded), bytes) << path;
    }
}

TEST(PublishToolTest, APublishedSiteDownloadsThroughTheEngineFromThreeNginxNodes) {
    test::ScratchFolder scratch;
    const test::ScopedEnvironment tmpdir("TMPDIR", scratch / "tmp");
    boost::filesystem::create_directories(scratch / "tmp");
    // Names the chunk URLs must encode, a file of one chunk exactly, one of many chunks with a short last
    // one.
    std::mt19937 random(7);
    std::string many(300001, '\0');
    for (char& byte : many) {
        byte = static_cast<char>(random());
    }
    const std::map<std::string, std::string> files = {
        {"bin/run.sh", "#!/bin/sh\necho hello\n"},
        {"data/odd size #1", std::string(65536, 'o')},
        {"data/ä/ü.bin", many},
    };
    for (const auto& [path, bytes] : files) {
        boost::filesystem::create_directories(
            boost::filesystem::path(scratch / ("source/" + path)).parent_path());
        test::WriteFileText(scratch / ("source/" + path), bytes);
    }
    auto published = Publish({"--site", scratch / "site", "--from", scratch / "source", "--partner", "P",
                              "--package", "K", "--version", "2.1", "--name", "Demo", "--run", "bin/run.sh",
                              "--chunk-size", "65536", "--new-partner", "--node", "127.0.0.1:9"});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;

    // nginx serves the site as it stands; the first also answers for the manifests, current.xml included
    // (the engine asks for the current version).
    std::vector<std::unique_ptr<test::NginxServer>> nodes;
    std::vector<std::string> nodeArguments = {"--site", scratch / "site", "--partner", "P",
                                              "--replace-nodes"};
    for (int i = 0; i < 3; ++i) {
        nodes.push_back(std::make_unique<test::NginxServer>(scratch / "site"));
        nodeArguments.insert(nodeArguments.end(),
                             {"--node", "n" + std::to_string(i) + "=" + nodes[i]->Host()});
    }
    published = Publish(nodeArguments);
    ASSERT_EQ(published.exitStatus, 0) << published.errors;

    EngineSettings settings;
    settings.manifestHost = nodes[0]->Host();
    TransferStatus status;
    {
        DownloadEngine engine(settings);
        const std::string id = engine.StartTransfer("P", "K", std::string(NoValueMarker)).transferId;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const auto waitUntil = [&](const std::function<bool()>& done) {
            for (status = engine.GetTransferStatus(id); !done() && status.error == TransferError::None &&
                                                        std::chrono::steady_clock::now() < deadline;
                 status = engine.GetTransferStatus(id)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        waitUntil([&] { return status.state == TransferState::Initialized; });
        ASSERT_EQ(status.state, TransferState::Initialized) << static_cast<int>(status.error);
        EXPECT_EQ(status.totalBytes, 21u + 65536u + 300001u);
        engine.StartTransferInto(id, scratch / "dest");
        waitUntil([&] { return status.state == TransferState::Complete; });
    }
    ASSERT_EQ(status.state, TransferState::Complete) << static_cast<int>(status.error);
    EXPECT_EQ(status.runPath, "bin/run.sh");
    for (const auto& [path, bytes] : files) {
        EXPECT_EQ(test::ReadFileText(scratch / ("dest/" + path)), bytes) << path;
    }
}

TEST(PublishToolTest, MarkedProgramsArriveExecutableThroughTheEngineAndDataFilesDoNot) {
    test::ScratchFolder scratch;
    const test::ScopedEnvironment tmpdir("TMPDIR", scratch / "tmp");
    boost::filesystem::create_directories(scratch / "tmp");
    // A native program has no extension: its execute bit (or --exec) marks it, and once anything is
    // marked, an extension alone makes nothing executable.
    struct File {
        const char* path;
        mode_t mode;
        bool executable;
    };
    const File files[] = {
        {"bin/run.sh", 0644, true},       // the run file, whatever its mode
        {"bin/game", 0755, true},         // an execute bit
        {"lib/helper", 0644, true},       // --exec lib/*
        {"data/table.bin", 0644, false},  // data
        {"docs/notes.sh", 0644, false},   // a program's extension, but not marked
    };
    for (const File& file : files) {
        const std::string path = scratch / ("source/" + std::string(file.path));
        boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
        test::WriteFileText(path, std::string("\x7f"
                                              "ELF") +
                                      file.path);
        ASSERT_EQ(::chmod(path.c_str(), file.mode), 0);
    }
    boost::filesystem::create_directories(scratch / "site");
    test::LocalDeliveryService service({.site = scratch / "site", .content = {}, .nodes = 2});
    const auto published = Publish({"--site",
                                    scratch / "site",
                                    "--from",
                                    scratch / "source",
                                    "--partner",
                                    "P",
                                    "--new-partner",
                                    "--package",
                                    "K",
                                    "--version",
                                    "1",
                                    "--name",
                                    "Demo",
                                    "--run",
                                    "bin/run.sh",
                                    "--exec",
                                    "lib/*",
                                    "--node",
                                    "n0=" + service.NodeHost(0),
                                    "--node",
                                    "n1=" + service.NodeHost(1)});
    ASSERT_EQ(published.exitStatus, 0) << published.errors;

    EngineSettings settings;
    settings.manifestHost = service.ManifestHost();
    TransferStatus status;
    {
        DownloadEngine engine(settings);
        const std::string id = engine.StartTransfer("P", "K", std::string(NoValueMarker)).transferId;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const auto waitFor = [&](TransferState state) {
            for (status = engine.GetTransferStatus(id);
                 status.state != state && status.error == TransferError::None &&
                 std::chrono::steady_clock::now() < deadline;
                 status = engine.GetTransferStatus(id)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        waitFor(TransferState::Initialized);
        ASSERT_EQ(status.state, TransferState::Initialized) << static_cast<int>(status.error);
        engine.StartTransferInto(id, scratch / "dest");
        waitFor(TransferState::Complete);
    }
    ASSERT_EQ(status.state, TransferState::Complete) << static_cast<int>(status.error);
    for (const File& file : files) {
        SCOPED_TRACE(file.path);
        struct stat arrived {};
        ASSERT_EQ(::stat((scratch / ("dest/" + std::string(file.path))).c_str(), &arrived), 0);
        // Execution is allowed to every class that may read the file (as the umask left it), else to none.
        const mode_t readers = (arrived.st_mode & 0444) >> 2;
        EXPECT_EQ(arrived.st_mode & 0111, file.executable ? readers : 0u) << std::oct << arrived.st_mode;
        EXPECT_NE(arrived.st_mode & S_IRUSR, 0u);
    }
}

}  // namespace
}  // namespace halcyne
