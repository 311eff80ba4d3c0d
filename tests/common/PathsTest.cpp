#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/EngineSettings.hpp"
#include "common/Paths.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

TEST(JoinPathTest, StripsLeadingSlashesAndResolvesAgainstTheBase) {
    const std::string cwd = boost::filesystem::current_path().string();
    struct Case {
        std::string base, relative, expected;
    };
    const Case cases[] = {
        {"/tmp", "/Vantrel Technologies/Halcyne", "/tmp/Vantrel Technologies/Halcyne"},
        {"/tmp", "///x", "/tmp/x"},
        {"/tmp/", "x/y", "/tmp/x/y"},
        {"/tmp", "", "/tmp"},
        {"/tmp", "/", "/tmp"},
        {"/data", "a/../b", "/data/a/../b"},  // joined, not normalised
        {"rel", "x", cwd + "/rel/x"},
        {"", "x", cwd + "/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base + " + " + c.relative);
        EXPECT_EQ(JoinPath(c.base, c.relative), c.expected);
    }
}

TEST(TemporaryDirectoryTest, PrefersTmpdirThenTheUserCacheAndNeverAGuess) {
    test::ScratchFolder scratch;
    const std::string home = scratch / "home";
    ::mkdir(home.c_str(), 0700);
    test::WriteFileText(scratch / "file", "x");
    struct Case {
        const char* label;
        std::optional<std::string> tmpdir, xdg, home;
        std::string expected;  // empty: no usable directory
    };
    const Case cases[] = {
        {"TMPDIR wins", scratch.Path(), scratch / "xdg", home, scratch.Path()},
        {"TMPDIR missing folder", scratch / "nope", scratch / "xdg", home, scratch / "xdg"},
        {"TMPDIR a file", scratch / "file", std::nullopt, home, home + "/.cache"},
        {"relative XDG ignored", std::nullopt, std::string("relative"), home, home + "/.cache"},
        {"nothing usable", std::nullopt, std::nullopt, std::nullopt, ""},
        {"relative HOME", std::nullopt, std::nullopt, std::string("home"), ""},
        {"cache path blocked by a file", std::nullopt, scratch / "file/sub", home, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScopedEnvironment t("TMPDIR", c.tmpdir), x("XDG_CACHE_HOME", c.xdg), h("HOME", c.home);
        std::string error;
        EXPECT_EQ(TemporaryDirectory(&error), c.expected);
        EXPECT_EQ(error.empty(), !c.expected.empty()) << error;
        if (!c.expected.empty() && c.expected != scratch.Path()) {
            struct stat st {};
            ASSERT_EQ(::stat(c.expected.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);  // a created cache directory is private
        }
    }
}

// Every path below `root`, sorted; symbolic links are listed but not followed.
std::vector<std::string> Tree(const std::string& root) {
    std::vector<std::string> paths;
    boost::system::error_code ignored;
    for (boost::filesystem::recursive_directory_iterator it(root, ignored), end; it != end;
         it.increment(ignored)) {
        paths.push_back(it->path().string().substr(root.size()));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void MakeFolder(const std::string& path, mode_t mode) {
    boost::filesystem::create_directories(path);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// Owned by the user means the effective uid; 65534 is somebody else even for root, who alone can hand a
// folder over.
void GiveAway(const std::string& path) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path;
}

TEST(ChooseTemporaryDirectoryTest, PassesOverACandidateWithAFolderThatIsNotTheUsersOwnAndPrivate) {
    const std::vector<std::string> folders = {"V/H", "V/H/transfers", "V/logs"};
    struct Case {
        const char* label;
        bool needsRoot;                                   // hands a folder to another uid
        std::function<void(const std::string&)> arrange;  // given the candidate TMPDIR
        std::string refused;                              // relative to TMPDIR; "-": TMPDIR is used
        std::string reason;
    };
    const Case cases[] = {
        {"another user's folder", true,
         [](const std::string& t) { MakeFolder(t + "/V", 0700), GiveAway(t + "/V"); }, "/V", "uid 65534"},
        {"group-writable folder", false, [](const std::string& t) { MakeFolder(t + "/V", 0770); }, "/V",
         "writable by group or others (mode 0770)"},
        {"world-writable folder further down", false,
         [](const std::string& t) { MakeFolder(t + "/V/H", 0757); }, "/V/H", "mode 0757"},
        {"sticky does not help below the temporary directory", false,
         [](const std::string& t) { MakeFolder(t + "/V", 01777); }, "/V", "mode 1777"},
        {"a link to a private folder", false,
         [](const std::string& t) {
             MakeFolder(t + "/../elsewhere", 0700);
             ASSERT_EQ(::symlink("../elsewhere", (t + "/V").c_str()), 0);
         },
         "/V", "symbolic link"},
        {"a link as the last folder, after folders that are missing", false,
         [](const std::string& t) {
             MakeFolder(t + "/V", 0700);
             MakeFolder(t + "/../elsewhere", 0700);
             ASSERT_EQ(::symlink("../../elsewhere", (t + "/V/logs").c_str()), 0);
         },
         "/V/logs", "symbolic link"},
        {"a file", false, [](const std::string& t) { test::WriteFileText(t + "/V", ""); }, "/V",
         "not a directory"},
        {"temporary directory writable by others, not sticky", false,
         [](const std::string& t) { ASSERT_EQ(::chmod(t.c_str(), 0777), 0); }, "", "not sticky (mode 0777)"},
        {"temporary directory writable by its group, not sticky", false,
         [](const std::string& t) { ASSERT_EQ(::chmod(t.c_str(), 0770), 0); }, "", "not sticky (mode 0770)"},
        {"another user's temporary directory", true, [](const std::string& t) { GiveAway(t); }, "",
         "uid 65534"},
        {"sticky shared temporary directory", false,
         [](const std::string& t) { ASSERT_EQ(::chmod(t.c_str(), 01777), 0); }, "-", ""},
        {"private folders readable by others", false,
         [](const std::string& t) { MakeFolder(t + "/V/H", 0755); }, "-", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;  // only root can hand a folder to another user
        }
        test::ScratchFolder scratch;
        const std::string tmp = scratch / "tmp";
        const std::string cache = scratch / "cache";
        MakeFolder(tmp, 0700);
        c.arrange(tmp);
        const std::vector<std::string> before = Tree(scratch.Path());
        test::ScopedEnvironment t("TMPDIR", tmp), x("XDG_CACHE_HOME", cache);

        const TemporaryDirectoryChoice choice = ChooseTemporaryDirectory(folders);
        if (c.refused == "-") {
            EXPECT_EQ(choice.directory, tmp);
            EXPECT_TRUE(choice.refused.empty());
            EXPECT_EQ(Mode(tmp + "/V/H/transfers"), 0700u);
            continue;
        }
        EXPECT_EQ(choice.directory, cache);
        ASSERT_EQ(choice.refused.size(), 1u);
        EXPECT_EQ(choice.refused[0].folder, tmp + c.refused);
        EXPECT_NE(choice.refused[0].reason.find(c.reason), std::string::npos) << choice.refused[0].reason;
        // Nothing was made in the refused candidate; the next one holds every folder, private.
        std::vector<std::string> after = Tree(scratch.Path());
        after.erase(std::remove_if(after.begin(), after.end(),
                                   [](const std::string& p) { return p.rfind("/cache", 0) == 0; }),
                    after.end());
        EXPECT_EQ(after, before);
        for (const char* folder : {"", "/V", "/V/H", "/V/H/transfers", "/V/logs"}) {
            EXPECT_EQ(Mode(cache + folder), 0700u) << folder;
        }
        // The choice is kept: the engine's own calls land in the same folder, whatever they ask for.
        EXPECT_EQ(TemporaryDirectory(), cache);
        EXPECT_EQ(ChooseTemporaryDirectory({}).directory, cache);
        EXPECT_FALSE(CreatePrivateFolder(tmp + "/V/H"));
        EXPECT_TRUE(CreatePrivateFolder(cache + "/V/H/logs"));
    }
}

TEST(ChooseTemporaryDirectoryTest, NoCandidateLeftGivesNoDirectoryAndEveryReason) {
    test::ScratchFolder scratch;
    const std::string tmp = scratch / "tmp";
    const std::string cache = scratch / "cache";
    MakeFolder(tmp + "/V", 0777);
    MakeFolder(cache, 0777);
    test::ScopedEnvironment t("TMPDIR", tmp), x("XDG_CACHE_HOME", cache);
    const TemporaryDirectoryChoice choice = ChooseTemporaryDirectory({"V/H"});
    EXPECT_EQ(choice.directory, "");
    ASSERT_EQ(choice.refused.size(), 2u);
    EXPECT_EQ(choice.refused[0].folder, tmp + "/V");
    EXPECT_EQ(choice.refused[1].folder, cache);
    EXPECT_NE(choice.error.find(tmp + "/V is writable by group or others"), std::string::npos)
        << choice.error;
    EXPECT_NE(choice.error.find(cache + " is writable by others and not sticky"), std::string::npos);
    std::string error;
    EXPECT_EQ(TemporaryDirectory(&error), "");
    EXPECT_EQ(error, choice.error);
    EXPECT_FALSE(boost::filesystem::exists(tmp + "/V/H"));
    EXPECT_FALSE(boost::filesystem::exists(cache + "/V"));
}

TEST(CreatePrivateFolderTest, CreatesPrivateFoldersAndRefusesAnyOtherOnTheWay) {
    test::ScratchFolder scratch;
    const std::string tmp = scratch / "tmp";
    MakeFolder(tmp, 0755);
    test::ScopedEnvironment t("TMPDIR", tmp);
    MakeFolder(scratch / "elsewhere", 0700);
    ASSERT_EQ(::symlink("../elsewhere", (tmp + "/link").c_str()), 0);
    MakeFolder(tmp + "/shared", 0775);
    MakeFolder(tmp + "/mine", 0700);
    test::WriteFileText(tmp + "/file", "");
    if (::geteuid() == 0) {
        MakeFolder(tmp + "/theirs", 0700);
        GiveAway(tmp + "/theirs");
    }
    struct Case {
        std::string path;
        std::string error;  // empty: created or there, and private
    };
    const Case cases[] = {
        {tmp, ""},
        {tmp + "/mine/a/b/c/", ""},
        {tmp + "//mine/./d", ""},
        {tmp + "/link/a", "/link is a symbolic link"},
        {tmp + "/shared/a", "/shared is writable by group or others"},
        {tmp + "/theirs/a", "/theirs is owned by uid 65534"},
        {tmp + "/file/a", "/file is not a directory"},
        {tmp + "/mine/../mine/e", "/mine/.. climbs to a parent folder"},
        {scratch / "elsewhere/a", "is not below the temporary directory"},
        {tmp + "x/a", "is not below the temporary directory"},
        {"", "is not below the temporary directory"},
    };
    // Folders come out 0700 whatever the umask would have left.
    const mode_t umask = ::umask(0177);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path.find("/theirs") != std::string::npos && ::geteuid() != 0) {
            continue;
        }
        std::string error;
        const bool made = CreatePrivateFolder(c.path, &error);
        EXPECT_EQ(made, c.error.empty()) << error;
        if (made) {
            EXPECT_TRUE(boost::filesystem::is_directory(c.path));
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    ::umask(umask);
    for (const char* folder : {"/mine/a", "/mine/a/b", "/mine/a/b/c", "/mine/d"}) {
        EXPECT_EQ(Mode(tmp + folder), 0700u) << folder;
    }
    // Nothing was made through a refused folder.
    EXPECT_TRUE(boost::filesystem::is_empty(scratch / "elsewhere"));
    EXPECT_TRUE(boost::filesystem::is_empty(tmp + "/shared"));
    EXPECT_FALSE(boost::filesystem::exists(tmp + "/mine/e"));
}

TEST(EngineSettingsTest, Defaults) {
    const EngineSettings s;
    EXPECT_EQ(s.manifestHost, "manifests.halcyne.example");
    EXPECT_EQ(s.transfersFolder, "Vantrel Technologies/Halcyne/transfers");
    EXPECT_EQ(s.logsFolder, "Vantrel Technologies/Halcyne/logs");
    EXPECT_EQ(s.logLevel, -9);
    const int ints[] = {
        s.manifestRetryLimit,   s.manifestConnectTimeout,  s.manifestTimeout,   s.minChunkRetries,
        s.minRequestRetries,    s.minConnectTimeout,       s.maxConnectTimeout, s.probeConnectTimeout,
        s.minRequestTimeout,    s.probeMinRequestTimeout,  s.minSpeed,          s.probeMinSpeed,
        s.minLowSpeedTime,      s.maxLowSpeedTime,         s.probeLowSpeedTime, s.speedWindowSeconds,
        s.remainingRecalcMs,    s.proxyResolveTimeout,     s.proxyTimeout2,     s.proxyConnectTimeout,
        s.proxyReceiveTimeout,  s.analyticsConnectTimeout, s.analyticsTimeout,  s.analyticsRetryLimit,
        s.periodicEventSeconds, s.optimizerTrialsPerNode,  s.optimizerMaxDraws};
    const int expected[] = {4, 10, 30,  4,    4,    3,    15,   2,  10, 3, 7168, 32768, 5,    60,
                            3, 10, 500, 5000, 5000, 5000, 5000, 10, 10, 1, 300,  50,    10000};
    EXPECT_TRUE(std::equal(std::begin(ints), std::end(ints), std::begin(expected)));
    EXPECT_DOUBLE_EQ(s.statisticsAlpha, 0.3);
    EXPECT_EQ(s.workerThreads, DefaultWorkerThreads());
    EXPECT_EQ(s.maxRunningWorks, DefaultWorkerThreads());
    EXPECT_GE(s.workerThreads, 3);
    EXPECT_TRUE(s.eventAnalyticsUrl.empty());
    EXPECT_TRUE(s.transferAnalyticsUrl.empty());
    EXPECT_EQ(s.maxNodeRetries, 8);
    EXPECT_EQ(s.maxPackageManifestBytes, 16u * 1024 * 1024);
    EXPECT_EQ(s.maxNodeListBytes, 1024u * 1024);
    EXPECT_EQ(s.maxSignatureBytes, 4096u);
    EXPECT_EQ(s.maxNodeListNodes, 1000);
    // About two minutes of automatic retries, growing to 30 s.
    EXPECT_EQ(s.retryPausesMs, (std::vector<std::uint32_t>{2000, 4000, 8000, 16000, 30000, 30000}));
}

TEST(EngineSettingsTest, RetryPausesAreMillisecondsSeparatedByCommas) {
    using Pauses = std::optional<std::vector<std::uint32_t>>;
    const std::pair<std::string, Pauses> cases[] = {
        {"2000,4000,8000", std::vector<std::uint32_t>{2000, 4000, 8000}},
        {" 0 , 10 ", std::vector<std::uint32_t>{0, 10}},
        {"3600000", std::vector<std::uint32_t>{3600000}},
        {"3600001", std::nullopt},  // longer than an hour
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"10,", std::nullopt},
        {",10", std::nullopt},
        {"10;20", std::nullopt},
        {"-5", std::nullopt},
        {"2s", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseRetryPauses(text), expected) << text;
    }
}

TEST(EngineSettingsTest, TheDescriptionNamesEveryFieldButNoKey) {
    EngineSettings s;
    s.manifestKeys = "a2V5MQ==, a2V5Mg==,";
    s.retryPausesMs = {10, 20};
    boost::property_tree::ptree tree;
    DescribeSettings(s, tree);
    EXPECT_EQ(tree.get<std::string>("manifestKeys"), "2");
    EXPECT_EQ(tree.get<std::string>("retryPausesMs"), "10,20");
    EXPECT_EQ(tree.get<std::string>("manifestHost"), "manifests.halcyne.example");
    EXPECT_EQ(tree.get<std::string>("maxPackageChunks"), "1048576");
    EXPECT_EQ(tree.get<std::string>("statisticsAlpha").substr(0, 3), "0.3");
}

}  // namespace
}  // namespace halcyne
