// The built updater end to end, as a player runs it without a terminal: stamped with the ports of the local
// delivery service and with retry pauses of milliseconds, standard input closed, texts on standard error.
// The success run's downloader command line element by element, and a table of faults with their outcome,
// message, detail line, requests made and exit status.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "app/Messages.hpp"
#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "support/VirtualDisplay.hpp"
#include "support/Watchdog.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;

const char* const DownloaderRunFile = "bin/downloader.sh";
// The downloader prints its working folder and arguments, one per line.
const char* const DownloaderScript =
    "#!/bin/sh\necho \"folder=$(pwd)\"\nfor a in \"$@\"; do echo \"[$a]\"; done\n";

class UpdaterRun {
public:
    // `chunkDigests`: the downloader's manifest gives each chunk's SHA-256.
    explicit UpdaterRun(const std::string& runFile = "bin/downloader.sh",
                        const std::string& runContent = DownloaderScript, bool languages = false,
                        bool chunkDigests = true) {
        Write("downloader/" + runFile, runContent);
        Write("downloader/data/readme.txt", std::string(300000, 'r'));
        Write("skin/skin.ini", "skin=1\n");
        Write("skin-de/skin.ini", "skin=de\n");
        publish::SitePublisher site(scratch / "site");
        publish::PackageInfo downloader{"DP", "DK", "1", "Downloader", runFile, 65536};
        downloader.hashChunks = chunkDigests;
        site.PublishFolder(scratch / "downloader", downloader);
        site.PublishFolder(scratch / "skin", {"GP", "SK", "3", "Skin", "skin.ini", 65536});
        site.PublishFolder(scratch / "skin-de", {"GP", "SKDE", "3", "Skin", "skin.ini", 65536});
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = scratch / "site", .content = {}, .nodes = 3});
        std::vector<publish::NodeInfo> nodes;
        for (int i = 0; i < 3; ++i) {
            nodes.push_back({"node" + std::to_string(i), service->NodeHost(i), "/packages/", 1});
        }
        site.PublishNodeList("DP", nodes);
        site.PublishNodeList("GP", nodes);
        // Six automatic retries, 20 ms apart.
        const auto stamped = test::StampTestUpdater(updater, service->ManifestHost(), "Emberline Folder",
                                                    {"--set", "135=20,20,20,20,20,20"});
        EXPECT_EQ(stamped.exitStatus, 0) << stamped.errors;
        if (languages) {
            test::RunProgram(test::BuiltProgram("tools/halcyne-stamp"),
                             {updater, "--set", "105=en=GK;de=GK", "--set", "106=en=SK;de=SKDE", "--set",
                              "108=en=Emberline;de=Glutlinie", "--set", "109=en=Emberline;de=Glutlinie",
                              "--set", "129=en=English;de=Deutsch", "--set", "130=en"});
        }
        fs::create_directories(scratch / "tmp");
    }
    void Write(const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(scratch / relative).parent_path());
        test::WriteFileText(scratch / relative, bytes);
    }
    test::ProcessResult Run(const std::vector<std::string>& arguments = {}) {
        // The user's cache folder is the next candidate after TMPDIR.
        const std::vector<std::string> environment = {
            "TMPDIR=" + scratch / "tmp", "XDG_CACHE_HOME=" + scratch / "cache", "HALCYNE_UI=console"};
        if (fileSizeLimit == 0) {
            return test::RunProgram(updater, arguments, environment);
        }
        // A disk that fills up: no file may grow past the limit. SIGXFSZ is ignored so that the write fails
        // with EFBIG instead of killing the updater. dash counts the limit in blocks of 512 bytes (bash in
        // 1024): either way the small files fit and the data file does not.
        std::vector<std::string> shell = {
            "-c", "trap '' XFSZ; ulimit -f " + std::to_string(fileSizeLimit / 512) + "; exec \"$0\" \"$@\"",
            updater};
        shell.insert(shell.end(), arguments.begin(), arguments.end());
        return test::RunProgram("/bin/sh", shell, environment);
    }
    std::string DataFolder(const std::string& base = "tmp") {
        return scratch / base + "/Vantrel Technologies/Halcyne";
    }
    // The work log files below the scratch folder.
    std::vector<std::string> LogFiles() {
        std::vector<std::string> files;
        for (fs::recursive_directory_iterator it(scratch.Path()), end; it != end; ++it) {
            if (it->path().filename().string().rfind("Log.", 0) == 0) {
                files.push_back(it->path().string());
            }
        }
        return files;
    }
    // The text of every work log file below the folder.
    std::string Logs(const std::string& base) {
        std::string logs;
        for (fs::recursive_directory_iterator it(scratch / base), end; it != end; ++it) {
            if (it->path().filename().string().rfind("Log.", 0) == 0) {
                logs += test::ReadFileText(it->path().string());
            }
        }
        return logs;
    }

    test::ScratchFolder scratch;
    std::string updater = scratch / "halcyne-updater";
    std::unique_ptr<test::LocalDeliveryService> service;
    std::size_t fileSizeLimit = 0;  // bytes, a multiple of 512; 0: no limit
};

std::string ErrorText(const std::string& message) {
    return "Emberline Downloader Error\n" + message + "\n";
}

TEST(UpdaterRunTest, DownloadsBothPackagesAndLaunchesTheDownloaderWithItsCommandLine) {
    UpdaterRun run;
    const auto result = run.Run({"packageVersion=7.2", "log=3"});
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    const std::string expected =
        "folder=" + run.DataFolder() + "/bin\n" + "[/host]\n[" + run.service->ManifestHost() + "]\n" +
        "[/id]\n[GP]\n[/package]\n[GK]\n[/name]\n[Emberline]\n[/folder]\n[Emberline Folder]\n"
        "[/version]\n[7.2]\n[/skin]\n[SK/skin.ini]\n[/log]\n[3]\n";
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/SK/skin.ini"), "skin=1\n");
    EXPECT_NE(result.errors.find("Launching Emberline Downloader\n"), std::string::npos) << result.errors;
    // No escape codes when the output is not a terminal.
    EXPECT_EQ(result.errors.find('\x1b'), std::string::npos);
    EXPECT_EQ(result.errors.find('\r'), std::string::npos);
}

// `text` as a regular expression that matches exactly it.
std::string Literal(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The byte ranges the nodes answered, each with how often: "path bytes=a-b" -> count.
std::map<std::string, int> Delivered(const test::DeliveryRecords& records) {
    std::map<std::string, int> delivered;
    for (const auto& r : records.requests) {
        if (r.path.rfind("/packages/", 0) == 0 && r.status == 206 && r.complete) {
            ++delivered[r.path + " " + r.range];
        }
    }
    return delivered;
}

int RequestsFor(const test::DeliveryRecords& records, const std::string& prefix) {
    return static_cast<int>(std::count_if(records.requests.begin(), records.requests.end(),
                                          [&](const auto& r) { return r.path.rfind(prefix, 0) == 0; }));
}

// Each fault as a player meets it: what the run ends with (the launch, or an error box with its message, its
// detail line naming the cause and the work log, and status 1), and what was asked of the service. A
// connection error is tried again after each pause, and a retry fetches nothing that already arrived; what
// no retry can mend (a document the service does not have, a signature or data that does not verify, a full
// disk, a folder that cannot be used) is never tried again.
TEST(UpdaterRunTest, FaultsEndWithTheirOutcomeMessageDetailAndStatus) {
    using namespace Updater;
    const std::string host = R"(http://127\.0\.0\.1:[0-9]+)";
    const std::string folderMessage =
        " cannot be used for the download\\. Make sure it is a folder of your own that only your user "
        "account can "
        "write to, and try again\\.";
    struct Case {
        const char* name;
        std::function<void(UpdaterRun&)> arrange;
        int exitStatus;
        // Regular expressions of the message and of the detail line's cause (none for a launch).
        std::function<std::string(UpdaterRun&)> message;
        std::string cause;
        std::function<void(UpdaterRun&, const test::DeliveryRecords&)> requests;
    };
    const auto exactly = [](const std::string& text) {
        return [text](UpdaterRun&) { return Literal(text); };
    };
    const auto nothingRequested = [](UpdaterRun&, const test::DeliveryRecords&) {};
    const std::vector<Case> cases = {
        // Every node refuses the first 30 chunk requests: more than two chunks' budgets (9 attempts each),
        // far
        // fewer than the retries' (7 rounds). The run recovers on its own.
        {"nodes refusing, then recovering",
         [](UpdaterRun& run) {
             run.service->AddFault({.server = "", .path = "/packages/", .status = 503, .count = 30});
         },
         0, nullptr, "",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             // Every chunk arrived exactly once: nothing was fetched again after a retry.
             const auto delivered = Delivered(records);
             EXPECT_EQ(delivered.size(), 7u);  // the run file, 5 chunks of the data file, the skin
             for (const auto& [range, times] : delivered) {
                 EXPECT_EQ(times, 1) << range;
             }
             EXPECT_EQ(RequestsFor(records, "/manifests/"), 2);
         }},
        {"nodes refusing for good",
         [](UpdaterRun& run) { run.service->AddFault({.server = "", .path = "/packages/", .status = 503}); },
         1, exactly(Message::ConnectionError), "HTTP 503 for " + host + "/packages/(DP/DK/1|GP/SK/3)/[^ ]+",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             EXPECT_TRUE(Delivered(records).empty());
             // The first round and one per pause; each round asks every node of the list at least once.
             EXPECT_GE(RequestsFor(records, "/packages/"), 7 * 3);
             EXPECT_EQ(RequestsFor(records, "/manifests/"), 2);  // the documents came the first time
         }},
        {"manifest service refusing for good",
         [](UpdaterRun& run) { run.service->AddFault({.server = "manifest", .status = 503}); }, 1,
         exactly(Message::ConnectionError), "HTTP 503 for " + host + "/(manifests|nodes)/[^ ]+",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             EXPECT_EQ(RequestsFor(records, "/packages/"), 0);
             // Each document: at least once in the first round and once per pause.
             EXPECT_GE(RequestsFor(records, "/manifests/DK/current.xml"), 7);
         }},
        {"package not published (404)",
         [](UpdaterRun& run) {
             run.service->AddFault({.server = "manifest", .path = "/manifests/SK", .status = 404});
         },
         1, exactly(Message::NotPublished), "HTTP 404 for " + host + "/manifests/SK/current\\.xml",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             EXPECT_EQ(RequestsFor(records, "/manifests/SK/"), 1);  // never asked again
         }},
        {"bad signature",
         [](UpdaterRun& run) {
             // Every document is signed by a key the updater does not trust.
             const publish::SigningKey stranger = publish::SigningKey::New();
             for (fs::recursive_directory_iterator it(run.scratch / "site"), end; it != end; ++it) {
                 const std::string path = it->path().string();
                 if (it->path().extension() == ".xml" && path.find("/packages/") == std::string::npos) {
                     test::WriteFileText(path + ".sig", stranger.Sign(test::ReadFileText(path)));
                 }
             }
             test::RunProgram(test::BuiltProgram("tools/halcyne-stamp"),
                              {run.updater, "--set", "133=" + publish::SigningKey::New().PublicKeyBase64()});
         },
         1, exactly(Message::NotVerified),
         "the signature " + host +
             "/(manifests|nodes)/[^ ]+\\.sig does not match the bytes of [^ ]+ under any of "
             "the 1 trusted keys( \\(fetched twice\\))?",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             EXPECT_EQ(RequestsFor(records, "/packages/"), 0);
         }},
        // The data file (300000 bytes) cannot be reserved; the small files before it fit.
        {"full disk", [](UpdaterRun& run) { run.fileSizeLimit = 100 * 512; }, 1,
         [](UpdaterRun& run) {
             return "There is not enough free space in " + Literal(run.DataFolder()) +
                    ": the download needs [0-9.]+ KB, but only [0-9.]+ [KMG]B is free\\. Free some space and "
                    "try "
                    "again\\.";
         },
         ".*readme\\.txt.*",
         [](UpdaterRun&, const test::DeliveryRecords& records) {
             EXPECT_EQ(RequestsFor(records, "/packages/DP/DK/1/data/"), 0);
         }},
        {"manifest service down", [](UpdaterRun& run) { run.service.reset(); }, 1,
         exactly(Message::ConnectionError), host + "/(manifests|nodes)/[^ ]+: .+", nullptr},
        {"wrong bytes everywhere",
         [](UpdaterRun& run) { run.service->AddFault({.server = "", .path = "/packages/", .wrong = true}); },
         1, exactly(Message::NotVerified), ".+", nothingRequested},
        {"data folder blocked by a file, and no cache folder",
         [](UpdaterRun& run) {
             test::WriteFileText(run.scratch / "tmp/Vantrel Technologies", "x");
             test::WriteFileText(run.scratch / "cache", "x");
         },
         1, [&](UpdaterRun&) { return "The folder Vantrel Technologies/Halcyne" + folderMessage; }, ".+",
         nothingRequested},
        {"data folder a link, and a cache folder that others can write to",
         [](UpdaterRun& run) {
             fs::create_directories(run.scratch / "elsewhere");
             fs::create_directory_symlink(run.scratch / "elsewhere",
                                          run.scratch / "tmp/Vantrel Technologies");
             fs::create_directories(run.scratch / "cache");
             fs::permissions(run.scratch / "cache", fs::all_all);
         },
         1, [&](UpdaterRun&) { return "The folder Vantrel Technologies/Halcyne" + folderMessage; }, ".+",
         nothingRequested},
        {"skin folder blocked by a file",
         [](UpdaterRun& run) {
             fs::create_directories(run.DataFolder());
             test::WriteFileText(run.DataFolder() + "/SK", "x");
         },
         1,
         [&](UpdaterRun& run) { return "The folder " + Literal(run.DataFolder() + "/SK") + folderMessage; },
         ".+", nothingRequested},
        {"skin folder a link",
         [](UpdaterRun& run) {
             fs::create_directories(run.DataFolder());
             fs::create_directories(run.scratch / "elsewhere");
             fs::create_directory_symlink(run.scratch / "elsewhere", run.DataFolder() + "/SK");
         },
         1,
         [&](UpdaterRun& run) { return "The folder " + Literal(run.DataFolder() + "/SK") + folderMessage; },
         ".*symbolic link.*", nothingRequested},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdaterRun run;
        c.arrange(run);
        const auto result = run.Run();
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.errors;
        const std::vector<std::string> logs = run.LogFiles();
        if (c.exitStatus == 0) {
            EXPECT_NE(result.output.find("[/package]\n[GK]\n"), std::string::npos) << result.output;
            EXPECT_EQ(result.errors.find("Error"), std::string::npos) << result.errors;
            // Said once per pause while it lasted.
            EXPECT_NE(result.errors.find("Connection lost. Reconnecting in 1 s...\n"), std::string::npos)
                << result.errors;
        } else {
            EXPECT_EQ(result.output, "");
            ASSERT_LE(logs.size(), 1u);
            // Without a data folder there is no work log to name.
            const std::string log = logs.empty() ? "" : "; work log: " + Literal(logs[0]);
            const std::regex box("Emberline Downloader Error\n" + c.message(run) + "\nDetails: " + c.cause +
                                 log + "\n$");
            EXPECT_TRUE(std::regex_search(result.errors, box)) << result.errors;
        }
        if (!logs.empty()) {
            // The log begins with the run's header and ends with its outcome; a failed request names its URL
            // and HTTP status.
            const std::string text = test::ReadFileText(logs[0]);
            std::vector<std::string> lines;
            std::istringstream stream(text);
            for (std::string line; std::getline(stream, line);) {
                lines.push_back(line);
            }
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines.front().find("{\"event\":\"UpdaterStarted\",\"params\":{\"version\":\""),
                      std::string::npos)
                << lines.front();
            EXPECT_NE(
                lines.back().find(std::string("{\"event\":\"UpdaterEnded\",\"params\":{\"outcome\":\"") +
                                  (c.exitStatus == 0 ? "Launched" : "ErrorShown") + "\",\"exitStatus\":\"" +
                                  std::to_string(c.exitStatus) + "\"}}"),
                std::string::npos)
                << lines.back();
            if (c.cause.rfind("HTTP 503", 0) == 0 || c.exitStatus == 0) {
                // A chunk request's entry, or a manifest fetch's exception.
                const std::regex failed(
                    R"re(("url":"http:\\/\\/127\.0\.0\.1:[0-9]+\\/[^"]+","ip":"127\.0\.0\.1","httpResult":"8","httpResponseCode":"503"|"what":"HTTP 503 for http:\\/\\/127\.0\.0\.1:[0-9]+\\/))re");
                EXPECT_TRUE(std::regex_search(text, failed));
            }
        }
        if (c.requests && run.service) {
            c.requests(run, run.service->Records());
        }
        if (fs::exists(run.scratch / "elsewhere")) {  // nothing went through a link
            EXPECT_TRUE(fs::is_empty(run.scratch / "elsewhere"));
        }
    }
}

// Another user who gets at a folder on the way to the data folder could swap the run file after it was
// verified. Such a folder is never used: the run moves to the user's cache folder, the work log says which
// folder was passed over and why, and nothing is made in the refused one.
TEST(UpdaterRunTest, AFolderThatIsNotTheUsersOwnAndPrivateMovesTheRunToTheCacheFolder) {
    struct Case {
        const char* name;
        bool needsRoot;  // hands a folder to another uid (the tests run as root in CI)
        std::function<void(UpdaterRun&)> arrange;
        std::string refused;  // below the scratch folder
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"another user's folder", true,
         [](UpdaterRun& run) {
             fs::create_directories(run.scratch / "tmp/Vantrel Technologies");
             ASSERT_EQ(::chown((run.scratch / "tmp/Vantrel Technologies").c_str(), 65534, 65534), 0);
         },
         "tmp/Vantrel Technologies",
         "is owned by uid 65534, not by the user (uid " + std::to_string(::geteuid()) + ")"},
        {"a data folder that its group can write to", false,
         [](UpdaterRun& run) {
             fs::create_directories(run.DataFolder());
             fs::permissions(run.DataFolder(), fs::owner_all | fs::group_all);
         },
         "tmp/Vantrel Technologies/Halcyne", "is writable by group or others (mode 0770)"},
        {"a link to a folder of the user's", false,
         [](UpdaterRun& run) {
             fs::create_directories(run.scratch / "elsewhere");
             fs::create_directory_symlink(run.scratch / "elsewhere",
                                          run.scratch / "tmp/Vantrel Technologies");
         },
         "tmp/Vantrel Technologies", "is a symbolic link"},
        {"a shared TMPDIR without the sticky bit", false,
         [](UpdaterRun& run) { fs::permissions(run.scratch / "tmp", fs::all_all); }, "tmp",
         "is writable by others and not sticky (mode 0777)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        UpdaterRun run;
        c.arrange(run);
        const auto result = run.Run({"log=1"});
        ASSERT_EQ(result.exitStatus, 0) << result.errors;
        EXPECT_EQ(result.output.substr(0, result.output.find('\n')),
                  "folder=" + run.DataFolder("cache") + "/bin");
        EXPECT_EQ(test::ReadFileText(run.DataFolder("cache") + "/SK/skin.ini"), "skin=1\n");
        std::string refused = run.scratch / c.refused;  // as JSON writes it
        boost::replace_all(refused, "/", "\\/");
        EXPECT_NE(run.Logs("cache").find("{\"event\":\"FolderRefused\",\"params\":{\"folder\":\"" + refused +
                                         "\",\"reason\":\"" + c.reason + "\"}}"),
                  std::string::npos)
            << run.Logs("cache");
        // Nothing at all in the refused candidate, nothing through the link.
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/transfers"));
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/SK"));
        if (fs::exists(run.scratch / "elsewhere")) {
            EXPECT_TRUE(fs::is_empty(run.scratch / "elsewhere"));
        }
    }
}

// Overwrites bytes [at, at + 4) of `bytes` so that its CRC-32 is `target` again. For messages of one length
// the CRC-32 is affine in the message bits, so each of the 32 patch bits flips a fixed set of CRC bits (one
// column of a 32 x 32 system over GF(2)); solving the system gives the patch.
void RestoreCrc32(std::string& bytes, std::size_t at, std::uint32_t target) {
    const std::string zeros(bytes.size(), '\0');
    const std::uint32_t base = test::Crc32(zeros.data(), zeros.size());
    std::uint32_t rows[32] = {};  // row i: which patch bits flip CRC bit i
    for (int bit = 0; bit < 32; ++bit) {
        std::string unit = zeros;
        unit[at + bit / 8] = static_cast<char>(1 << (bit % 8));
        const std::uint32_t column = test::Crc32(unit.data(), unit.size()) ^ base;
        for (int i = 0; i < 32; ++i) {
            rows[i] |= ((column >> i) & 1u) << bit;
        }
    }
    const std::uint32_t flips = test::Crc32(bytes.data(), bytes.size()) ^ target;  // CRC bits to flip
    std::uint32_t wanted[32];
    for (int i = 0; i < 32; ++i) {
        wanted[i] = (flips >> i) & 1u;
    }
    // Gauss-Jordan elimination: afterwards row `bit` holds only patch bit `bit`, and wanted[bit] its value.
    for (int bit = 0; bit < 32; ++bit) {
        int pivot = bit;
        while (pivot < 32 && ((rows[pivot] >> bit) & 1u) == 0) {
            ++pivot;
        }
        ASSERT_LT(pivot, 32) << "four consecutive bytes always reach every CRC bit";
        std::swap(rows[bit], rows[pivot]);
        std::swap(wanted[bit], wanted[pivot]);
        for (int i = 0; i < 32; ++i) {
            if (i != bit && ((rows[i] >> bit) & 1u) != 0) {
                rows[i] ^= rows[bit];
                wanted[i] ^= wanted[bit];
            }
        }
    }
    for (int bit = 0; bit < 32; ++bit) {
        bytes[at + bit / 8] = static_cast<char>(bytes[at + bit / 8] ^ (wanted[bit] << (bit % 8)));
    }
}

// Every node serves the forged chunk (they share the site). With chunk digests the chunk's own SHA-256
// refuses it; without, the file's hash does, after fetching the file again from other nodes.
TEST(UpdaterRunTest, AChunkForgedToKeepItsCrcIsRefusedByTheChunkOrTheFileHash) {
    struct Case {
        const char* name;
        std::string path;        // in the downloader package
        std::uint64_t offset;    // of the forged chunk
        std::string forgedHead;  // what the forger puts at the start of the chunk
        bool chunkDigests;
    };
    // The run file is one chunk: a script that would leave a mark if it ever ran. The data file's second
    // chunk: another text.
    const Case cases[] = {
        {"the run file", DownloaderRunFile, 0, "#!/bin/sh\ntouch \"$0.ran\"\nexit 0\n#", true},
        {"a chunk of a data file", "data/readme.txt", 65536, "forged text ", true},
        {"the run file, no chunk digests", DownloaderRunFile, 0, "#!/bin/sh\ntouch \"$0.ran\"\nexit 0\n#",
         false},
        {"a chunk of a data file, no chunk digests", "data/readme.txt", 65536, "forged text ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdaterRun run("bin/downloader.sh", DownloaderScript, false, c.chunkDigests);
        const std::string served = run.scratch / ("site/packages/DP/DK/1/" + c.path);
        std::string bytes = test::ReadFileText(served);
        const std::string original = bytes.substr(c.offset, 65536);
        std::string chunk = original;
        chunk.replace(0, c.forgedHead.size(), c.forgedHead);
        RestoreCrc32(chunk, chunk.size() - 4, test::Crc32(original.data(), original.size()));
        ASSERT_EQ(test::Crc32(chunk.data(), chunk.size()), test::Crc32(original.data(), original.size()));
        ASSERT_NE(chunk, original);
        bytes.replace(c.offset, chunk.size(), chunk);
        test::WriteFileText(served, bytes);

        const auto result = run.Run();
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.errors.find(ErrorText(Updater::Message::NotVerified)), std::string::npos)
            << result.errors;
        EXPECT_EQ(result.output, "");
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/" + c.path));
        EXPECT_FALSE(fs::exists(run.DataFolder() + "/" + DownloaderRunFile + ".ran"));
        // The run file, whether refused or complete, was never made executable.
        const fs::path runFile = run.DataFolder() + "/" + DownloaderRunFile;
        if (fs::exists(runFile)) {
            EXPECT_EQ(fs::status(runFile).permissions() & (fs::owner_exe | fs::group_exe | fs::others_exe),
                      fs::no_perms);
        }
        // The work log names the refused file (and the chunk's digest, or the file's).
        std::string logs;
        for (fs::recursive_directory_iterator it(run.scratch / "tmp"), end; it != end; ++it) {
            if (it->path().filename().string().rfind("Log.", 0) == 0) {
                logs += test::ReadFileText(it->path().string());
            }
        }
        std::string logged = c.path;  // as JSON writes it
        boost::replace_all(logged, "/", "\\/");
        if (c.chunkDigests) {
            EXPECT_NE(logs.find("\"filePath\":\"" + logged + "\""), std::string::npos) << logs;
            EXPECT_NE(logs.find("\"actualSha256\""), std::string::npos) << logs;
        } else {
            EXPECT_NE(logs.find(logged + ": SHA-256 "), std::string::npos) << logs;
        }
    }
}

TEST(UpdaterRunTest, ARunFileThatCannotExecuteIsALaunchFailure) {
    UpdaterRun run("bin/downloader.bin", "not a program\n");
    const auto result = run.Run();
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.errors.find(ErrorText("The Emberline Downloader could not be launched. " +
                                           std::string(Updater::SupportSentence))),
              std::string::npos)
        << result.errors;
}

// The updater on a pseudo-terminal, as a player runs it in a terminal window.
class Terminal {
public:
    Terminal(const std::string& program, const std::vector<std::string>& environment,
             const std::vector<std::string>& arguments = {}) {
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        // The modes before the program could touch them; the master reads the terminal's current ones.
        ::tcgetattr(master_, &initialModes_);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(master_);
            ::login_tty(slave);
            for (const std::string& entry : environment) {
                ::putenv(const_cast<char*>(entry.c_str()));
            }
            std::vector<char*> argv = {const_cast<char*>(program.c_str())};
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(slave);
    }
    ~Terminal() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        ::close(master_);
    }
    // Reads until the text has appeared (true) or 30 s passed or the program ended (false).
    bool ReadUntil(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (output.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome(100)) {
                return output.find(text) != std::string::npos;
            }
        }
        return true;
    }
    void Type(const std::string& text) {
        EXPECT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Reads the rest and waits for the exit status (at most 30 s, then the program is killed).
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the updater did not end";
                ::kill(pid_, SIGKILL);
            }
            ReadSome(50);
        }
        while (ReadSome(0)) {
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The terminal's modes are those it had before the program started (input, output, control and local
    // flags, and the control characters).
    bool ModesUnchanged() const {
        termios now{};
        if (::tcgetattr(master_, &now) != 0) {
            return false;
        }
        return now.c_iflag == initialModes_.c_iflag && now.c_oflag == initialModes_.c_oflag &&
               now.c_cflag == initialModes_.c_cflag && now.c_lflag == initialModes_.c_lflag &&
               std::equal(std::begin(now.c_cc), std::end(now.c_cc), std::begin(initialModes_.c_cc));
    }
    // Waits (at most 10 s) until the program has taken a signal that was sent to it: a blocked signal stays
    // pending, in the process's shared set, until a thread takes it.
    bool SignalTaken(int signal) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
            std::string line;
            while (std::getline(status, line) && line.rfind("ShdPnd:", 0) != 0) {
            }
            if (line.rfind("ShdPnd:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (signal - 1))) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string output;

private:
    bool ReadSome(int timeoutMs) {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, timeoutMs) <= 0) {
            return timeoutMs > 0;
        }
        char buffer[4096];
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        output.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    termios initialModes_{};
};

TEST(UpdaterTerminalTest, LanguageTwoGivesGermanTextsLocaleAndSkin) {
    UpdaterRun run(DownloaderRunFile, DownloaderScript, true);
    Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console", "COLUMNS=60"});
    ASSERT_TRUE(terminal.ReadUntil("Language [1]: ")) << terminal.output;
    EXPECT_NE(terminal.output.find("  1) English\r\n  2) Deutsch\r\n"), std::string::npos) << terminal.output;
    terminal.Type("2\n");
    EXPECT_EQ(terminal.Wait(), 0) << terminal.output;
    EXPECT_NE(terminal.output.find("Glutlinie Downloader\r\n"), std::string::npos) << terminal.output;
    EXPECT_NE(terminal.output.find("[/locale]\r\n[de]\r\n[/skin]\r\n[SKDE/skin.ini]"), std::string::npos)
        << terminal.output;
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/SKDE/skin.ini"), "skin=de\n");
}

TEST(UpdaterTerminalTest, CtrlCEndsPromptlyWithStatusTwoAndTheNextRunCompletes) {
    struct Case {
        const char* name;
        test::DeliveryFault stall;
        std::string shownBefore;  // what the terminal shows when Ctrl-C is pressed
    };
    const std::vector<Case> cases = {
        // Every node stalls: the transfer hangs mid-way, the bar on the screen.
        {"nodes stalled", {.server = "", .path = "/packages/DP", .stall = true}, "\r["},
        // The manifest service stalls: the transfers never get past their initialization.
        {"manifest service stalled",
         {.server = "manifest", .path = "/manifests/DK", .stall = true},
         "Emberline Downloader\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdaterRun run;
        run.service->AddFault(c.stall);
        Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console"});
        ASSERT_TRUE(terminal.ReadUntil(c.shownBefore)) << terminal.output;
        terminal.Type("\x03");
        EXPECT_EQ(terminal.Wait(), 2) << terminal.output;
        EXPECT_TRUE(terminal.ModesUnchanged());
        run.service->ClearFaults();
        const auto next = run.Run();
        EXPECT_EQ(next.exitStatus, 0) << next.errors;
        EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
    }
}

// At a terminal the error box asks: "r" and Enter retries (and the run goes on from where it stopped), Enter
// alone closes with status 1.
TEST(UpdaterTerminalTest, AfterAConnectionErrorTheTerminalAsksWhetherToRetry) {
    struct Case {
        const char* name;
        std::string typed;
        int exitStatus;
    };
    const std::vector<Case> cases = {{"r and Enter", "r\n", 0}, {"Enter alone", "\n", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdaterRun run;
        run.service->AddFault({.server = "", .path = "/packages/", .status = 503});
        Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console"});
        const std::string question = std::string(Updater::Message::RetryPrompt);
        ASSERT_TRUE(terminal.ReadUntil(question)) << terminal.output;
        EXPECT_NE(
            terminal.output.find(std::string("\r\nEmberline Downloader Error\r\n") +
                                 Updater::Message::ConnectionError + "\r\nDetails: HTTP 503 for http://"),
            std::string::npos)
            << terminal.output;
        // The reconnecting notice stood on the bar line while the pauses ran.
        EXPECT_NE(terminal.output.find("Connection lost. Reconnecting in 1 s..."), std::string::npos);
        run.service->ClearFaults();
        terminal.Type(c.typed);
        EXPECT_EQ(terminal.Wait(), c.exitStatus) << terminal.output;
        EXPECT_TRUE(terminal.ModesUnchanged());
        if (c.exitStatus == 0) {
            EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
        }
    }
}

// The byte ranges of the downloader package's requests, merged where they touch: "path a-b" per run of
// bytes, in order. The skin is left out: its progress is not shown, so the test cannot tell when its bytes
// are on disk.
std::vector<std::string> PackageRanges(const std::vector<test::DeliveryRequest>& requests, bool complete) {
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> ranges;
    for (const auto& r : requests) {
        if (r.path.rfind("/packages/DP/", 0) == 0 && r.complete == complete) {
            const auto dash = r.range.find('-');
            ranges.emplace_back(r.path, std::stoull(r.range.substr(6, dash - 6)),
                                std::stoull(r.range.substr(dash + 1)));
        }
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::string> merged;
    for (std::size_t i = 0; i < ranges.size();) {
        const auto& [path, first, last] = ranges[i];
        std::uint64_t end = last;
        for (++i; i < ranges.size() && std::get<0>(ranges[i]) == path && std::get<1>(ranges[i]) <= end + 1;
             ++i) {
            end = std::max(end, std::get<2>(ranges[i]));
        }
        merged.push_back(path + " " + std::to_string(first) + "-" + std::to_string(end));
    }
    return merged;
}

TEST(UpdaterTerminalTest, AfterCtrlCMidTransferTheNextRunRequestsOnlyTheMissingBytes) {
    UpdaterRun run;
    // Two of the data file's five chunks arrive; the requests for the other three stall before their answer.
    const std::string data = "/packages/DP/DK/1/data/readme.txt";
    run.service->AddFault({.path = data, .count = 2});
    run.service->AddFault({.path = data, .stall = true});
    Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console"});
    // Which two chunks arrive depends on the order the nodes are asked in; Ctrl-C once the bar shows every
    // byte of them (and of the small run file) written.
    std::uint64_t arrived = 0;
    for (int i = 0; i < 500 && arrived == 0; ++i) {
        std::uint64_t bytes = 0;
        int complete = 0;
        for (const auto& r : run.service->Records().requests) {
            if (r.complete && r.path.rfind("/packages/DP/", 0) == 0) {
                bytes += r.bytes;
                complete += 1;
            }
        }
        arrived = complete == 3 ? bytes : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(arrived, 0u);
    const std::uint64_t packageSize = 300000 + std::string(DownloaderScript).size();
    ASSERT_TRUE(terminal.ReadUntil(" " + std::to_string(arrived * 100 / packageSize) + "% "))
        << terminal.output;
    terminal.Type("\x03");
    ASSERT_EQ(terminal.Wait(), 2) << terminal.output;
    const std::vector<std::string> missing = PackageRanges(run.service->Records().requests, false);
    ASSERT_FALSE(missing.empty());

    run.service->ClearFaults();
    run.service->ClearRecords();
    const auto next = run.Run();
    EXPECT_EQ(next.exitStatus, 0) << next.errors;
    const auto requests = run.service->Records().requests;
    EXPECT_EQ(PackageRanges(requests, true), missing);
    EXPECT_EQ(PackageRanges(requests, false), std::vector<std::string>{});
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
}

// The key p pauses the real transfers mid-way (no request is made while paused, the line says so) and
// resumes them; the run completes with the whole file and the terminal's modes as they were.
TEST(UpdaterTerminalTest, ThePKeyPausesAndResumesTheDownload) {
    UpdaterRun run;
    // Slow enough (about 6 s for the package) to be paused mid-way.
    Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console", "LC_ALL=C"},
                      {"limit=48"});
    ASSERT_TRUE(terminal.ReadUntil("Press p to pause or resume.\r\n")) << terminal.output;
    ASSERT_TRUE(terminal.ReadUntil(" of ")) << terminal.output;  // the bar with its amount
    terminal.Type("p");
    ASSERT_TRUE(terminal.ReadUntil("Paused")) << terminal.output;
    // Requests under way when the pause came may still end; then nothing is asked for until the resume.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t requests = run.service->Records().requests.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(run.service->Records().requests.size(), requests);
    terminal.Type("p");
    EXPECT_EQ(terminal.Wait(), 0) << terminal.output;
    EXPECT_TRUE(terminal.ModesUnchanged());
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
}

TEST(UpdaterTerminalTest, ASecondCtrlCEndsAtOnceAndTheTerminalKeepsItsModes) {
    // The downloader outlives the first Ctrl-C (it only reports it), so the updater, which waits for it,
    // is still running when the second comes.
    UpdaterRun run(DownloaderRunFile,
                   "#!/bin/sh\necho $$ > \"$TMPDIR/downloader.pid\"\ntrap 'echo interrupted' INT\n"
                   "echo running\nwhile :; do sleep 1; done\n");
    Terminal terminal(run.updater, {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=console"});
    ASSERT_TRUE(terminal.ReadUntil("running\r\n")) << terminal.output;
    terminal.Type("\x03");
    // The terminal signals its whole foreground group at once: when the downloader reports it, the
    // updater has it too. The second is sent only after the updater took the first (two pending ones merge).
    ASSERT_TRUE(terminal.ReadUntil("interrupted\r\n")) << terminal.output;
    ASSERT_TRUE(terminal.SignalTaken(SIGINT));
    terminal.Type("\x03");
    EXPECT_EQ(terminal.Wait(), 128 + SIGINT) << terminal.output;
    EXPECT_TRUE(terminal.ModesUnchanged());
    // The end of the terminal's session hangs the downloader up; should it still run, it is stopped here.
    const std::string downloader = test::ReadFileText(run.scratch / "tmp/downloader.pid");
    std::ifstream command("/proc/" + downloader.substr(0, downloader.find('\n')) + "/cmdline");
    if (std::string(std::istreambuf_iterator<char>(command), {}).find("downloader.sh") != std::string::npos) {
        ::kill(std::stoi(downloader), SIGKILL);
    }
}

TEST(UpdaterWindowTest, TheGtkWindowRunsTheUpdateToTheLaunch) {
    const test::Watchdog watchdog(std::chrono::seconds(60), "UpdaterWindowTest");
    const test::VirtualDisplay display;
    ASSERT_TRUE(display.Running());
    {
        UpdaterRun run;
        test::PlaceWindowModuleBeside(run.updater);
        const auto result = test::RunProgram(
            run.updater, {},
            {"TMPDIR=" + run.scratch / "tmp", "HALCYNE_UI=gtk", "DISPLAY=" + display.Name()});
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        EXPECT_NE(result.output.find("[/skin]\n[SK/skin.ini]\n"), std::string::npos) << result.output;
        // Nothing was printed for the terminal.
        EXPECT_EQ(result.errors.find("Launching"), std::string::npos) << result.errors;
    }
}

TEST(UpdaterRunTest, ASecondUpdaterOnTheSameDataFolderSaysSoAndLaunchesNothing) {
    const test::Watchdog watchdog(std::chrono::seconds(60), "ASecondUpdater");
    // The first run's downloader says it started and waits to be released: the first updater waits for it
    // and holds the data folder meanwhile.
    UpdaterRun run(DownloaderRunFile,
                   "#!/bin/sh\ntouch started\nwhile [ ! -e release ]; do sleep 0.05; done\necho first\n");
    test::ProcessResult first;
    std::thread firstRun([&] { first = run.Run(); });
    const std::string bin = run.DataFolder() + "/bin/";
    while (!fs::exists(bin + "started")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto second = run.Run();
    test::WriteFileText(bin + "release", "");
    firstRun.join();
    EXPECT_EQ(second.exitStatus, 3) << second.errors;
    const std::string box = ErrorText(
                                "Emberline Downloader is already running. Please wait for it to "
                                "finish and try again.") +
                            "Details: another updater holds the lock of " + run.DataFolder() + "; work log: ";
    EXPECT_EQ(second.errors.substr(0, box.size()), box);
    EXPECT_EQ(second.output, "");
    EXPECT_EQ(first.exitStatus, 0) << first.errors;
    EXPECT_EQ(first.output, "first\n");
    // The lock went with the first updater (the release file stays, so this downloader does not wait).
    EXPECT_EQ(run.Run().exitStatus, 0);
}

TEST(UpdaterRunTest, StartUpRemovesStaleStoredTransfersAndOldLogsAndACompleteRunItsOwnTransfers) {
    UpdaterRun run;
    const std::string transfers = run.DataFolder() + "/transfers/";
    const std::string logs = run.DataFolder() + "/logs/";
    fs::create_directories(transfers);
    fs::create_directories(logs);
    const auto now = std::chrono::system_clock::now();
    const auto age = [&](const std::string& path, std::chrono::minutes minutes) {
        const std::time_t when = std::chrono::system_clock::to_time_t(now - minutes);
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    };
    const std::chrono::minutes day(24 * 60);
    struct Prepared {
        std::string name;
        std::chrono::minutes age;
        bool kept;
    };
    const std::vector<Prepared> stored = {
        {"old.json", 31 * day, false},
        {"recent.json", 29 * day, true},
        {"old.json.notes", 31 * day, true},  // not a stored transfer's name
    };
    for (const Prepared& p : stored) {
        test::WriteFileText(transfers + p.name, "{}");
        age(transfers + p.name, p.age);
    }
    // A link is never followed nor removed, however old.
    test::WriteFileText(run.scratch / "outside.json", "{}");
    fs::create_symlink(run.scratch / "outside.json", transfers + "link.json");
    age(transfers + "link.json", 40 * day);
    // 25 logs of earlier runs, a minute apart: the 19 newest stay beside this run's.
    std::vector<std::string> keptLogs;
    for (int i = 0; i < 25; ++i) {
        const std::string name = "Log.2026.01.01.00.00." + std::to_string(10 + i) + ".txt";
        test::WriteFileText(logs + name, "earlier\n");
        age(logs + name, std::chrono::minutes(100 - i));
        if (i >= 6) {
            keptLogs.push_back(name);
        }
    }
    test::WriteFileText(logs + "notes.txt", "not a log");
    age(logs + "notes.txt", 40 * day);

    const auto result = run.Run({"log=-1"});
    ASSERT_EQ(result.exitStatus, 0) << result.errors;

    std::set<std::string> transferNames;
    for (const auto& entry : fs::directory_iterator(transfers)) {
        transferNames.insert(entry.path().filename().string());
    }
    // This run's two transfers completed and are gone with the stale one.
    EXPECT_EQ(transferNames, (std::set<std::string>{"recent.json", "old.json.notes", "link.json"}));
    EXPECT_TRUE(fs::exists(run.scratch / "outside.json"));
    std::set<std::string> logNames;
    for (const auto& entry : fs::directory_iterator(logs)) {
        logNames.insert(entry.path().filename().string());
    }
    std::set<std::string> expectedLogs(keptLogs.begin(), keptLogs.end());
    expectedLogs.insert("notes.txt");
    ASSERT_EQ(logNames.size(), expectedLogs.size() + 1);
    for (const std::string& name : expectedLogs) {
        EXPECT_TRUE(logNames.contains(name)) << name;
    }
}

// Under a rate limit far below the nodes' speed (the package is about 300 KB: over a second at 200 KiB/s),
// the run completes: the requests' low-speed limits and time-outs stay below their share of the limit.
TEST(UpdaterRunTest, ARateLimitSlowsTheRunButNeverFailsIt) {
    UpdaterRun run;
    const auto result = run.Run({"limit=200"});
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(test::ReadFileText(run.DataFolder() + "/data/readme.txt"), std::string(300000, 'r'));
}

}  // namespace
}  // namespace halcyne
