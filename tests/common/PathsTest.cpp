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

TEST(CreatePrivateDirectoriesTest, CreatesEachMissingFolderPrivateAndRefusesFiles) {
    test::ScratchFolder scratch;
    std::string error;
    ASSERT_TRUE(CreatePrivateDirectories(scratch / "a/b/c", &error)) << error;
    for (const char* folder : {"a", "a/b", "a/b/c"}) {
        struct stat st {};
        ASSERT_EQ(::stat((scratch / folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
    EXPECT_TRUE(CreatePrivateDirectories(scratch / "a/b/c/"));  // already there
    test::WriteFileText(scratch / "f", "");
    EXPECT_FALSE(CreatePrivateDirectories(scratch / "f/g", &error));
    EXPECT_NE(error.find("f"), std::string::npos);
    EXPECT_FALSE(CreatePrivateDirectories(""));
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
}

}  // namespace
}  // namespace halcyne
