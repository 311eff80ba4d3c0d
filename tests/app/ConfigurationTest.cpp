#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/StringTable.hpp"
#include "app/UpdaterConfiguration.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

struct Parsed {
    std::string packageVersion = "?";
    std::string skinVersion = "?";
    int logLevel = -9;
    std::uint64_t rateLimit = 0;  // bytes per second
    bool operator==(const Parsed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parsed& p) {
    return out << "{" << p.packageVersion << ", " << p.skinVersion << ", " << p.logLevel << ", "
               << p.rateLimit << "}";
}

TEST(CommandLineTest, ArgumentsApplyInOrderAndABadOneStopsParsingSilently) {
    struct Case {
        std::vector<std::string> args;
        Parsed expected;
    };
    const Case cases[] = {
        {{"updater"}, {}},
        {{"updater", "log=7"}, {"?", "?", 7}},
        {{"updater", "log=7x"}, {"?", "?", 7}},
        {{"updater", "log= \t+12"}, {"?", "?", 12}},
        {{"updater", "log=-1"}, {"?", "?", -1}},
        {{"updater", "log=4294967295"}, {"?", "?", -1}},
        {{"updater", "log=2147483648"}, {"?", "?", -2147483647 - 1}},
        {{"updater", "log=-4294967295"}, {"?", "?", 1}},
        {{"updater", "log=0x10"}, {"?", "?", 0}},
        {{"updater", "packageVersion=1", "log=x", "packageVersion=2"}, {"1", "?", -9}},
        {{"updater", "packageVersion=1", "log=4294967296", "skinVersion=3"}, {"1", "?", -9}},
        {{"updater", "log=", "log=5"}, {}},
        {{"updater", "log=-", "log=5"}, {}},
        {{"updater", "packageVersion="}, {"", "?", -9}},
        {{"updater", "packageVersion=1", "packageVersion=2"}, {"2", "?", -9}},
        {{"updater", "skinVersion=a=b", "log=3", "log=4"}, {"?", "a=b", 4}},
        {{"updater", "xpackageVersion=2", "PackageVersion=3", " log=1"}, {}},
        {{"packageVersion=0"}, {"0", "?", -9}},  // argument 0 is tested too
        {{"updater", "packageVersion=\xC3\xA9t\xC3\xA9"}, {"\xC3\xA9t\xC3\xA9", "?", -9}},
        {{"updater", "skinVersion=1", "packageVersion=\xFF", "skinVersion=2"}, {"?", "1", -9}},
        {{"updater", "log=99999999999999999999999", "skinVersion=2"}, {}},
        // A rate limit in KiB per second; a value that is not plain digits is skipped, and parsing goes on.
        {{"updater", "limit=1024"}, {"?", "?", -9, 1048576}},
        {{"updater", "limit=10", "limit=0"}, {}},
        {{"updater", "limit=10", "limit=-5", "limit=1.5", "limit=", "limit=2x", "log=3"},
         {"?", "?", 3, 10240}},
        {{"updater", "limit=1099511627776"}, {"?", "?", -9, std::uint64_t{1} << 50}},
        {{"updater", "limit=1099511627777", "limit=99999999999999999999999"}, {}},
    };
    const StringTable empty;
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());  // a configuration makes its folders there
    for (const Case& c : cases) {
        std::string label;
        for (const auto& a : c.args) {
            label += "[" + a + "]";
        }
        SCOPED_TRACE(label);
        UpdaterConfiguration configuration(empty, 0, nullptr);
        configuration.ParseArguments(c.args);
        const Parsed parsed{configuration.PackageVersion(), configuration.SkinVersion(),
                            configuration.LogLevel(), configuration.DownloadRateLimit()};
        EXPECT_EQ(parsed, c.expected);
    }
}

TEST(CommandLineTest, Strtoul32Errors) {
    EXPECT_THROW(ParseUnsigned32(""), std::invalid_argument);
    EXPECT_THROW(ParseUnsigned32("  -"), std::invalid_argument);
    EXPECT_THROW(ParseUnsigned32("4294967296"), std::out_of_range);
    EXPECT_THROW(ParseUnsigned32("-4294967296"), std::out_of_range);
    EXPECT_EQ(ParseUnsigned32("0004294967295"), 4294967295u);
}

TEST(KeyValueListTest, SplitsAndSelects) {
    struct Case {
        std::string text;
        KeyValueList expected;
    };
    const Case cases[] = {
        {"de=A;en=B=C;;x;fr=", {{"de", "A"}, {"en", "B=C"}, {"fr", ""}}},
        {"", {}},
        {";;;", {}},
        {"plain value", {}},
        {" en = English ;de=Deutsch;", {{" en ", " English "}, {"de", "Deutsch"}}},
        {"=v;k=", {{"", "v"}, {"k", ""}}},
        {"en=1;en=2", {{"en", "1"}, {"en", "2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(SplitKeyValueList(c.text), c.expected);
    }
    EXPECT_EQ(SelectForLanguage("en", "en=1;en=2"), "1");
    EXPECT_EQ(SelectForLanguage("EN", "en=1"), "");
    EXPECT_EQ(SelectForLanguage("en", "Emberline"), "");
    EXPECT_EQ(SelectForLanguage("pt", "de=A;pt=B"), "B");
}

TEST(StringTableTest, LoadConfigStringKeepsEntriesShorterThan255Utf16Units) {
    const std::string fourByte = "\xF0\x9F\x94\xA5";  // U+1F525: two UTF-16 units
    struct Case {
        const char* label;
        std::optional<std::string> entry;
        std::string expected;
    };
    const Case cases[] = {
        {"absent", std::nullopt, ""},
        {"empty", std::string(), ""},
        {"254 units", std::string(254, 'a'), std::string(254, 'a')},
        {"255 units", std::string(255, 'a'), ""},
        {"300 units", std::string(300, 'a'), ""},
        {"252 + one pair = 254 units", std::string(252, 'a') + fourByte, std::string(252, 'a') + fourByte},
        {"253 + one pair = 255 units", std::string(253, 'a') + fourByte, ""},
        {"254 two-byte characters",
         [] {
             std::string s;
             for (int i = 0; i < 254; ++i)
                 s += "\xC3\xA9";
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 254; ++i)
                 s += "\xC3\xA9";
             return s;
         }()},
        {"invalid UTF-8", std::string("a\xC0\xAF"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StringTable table;
        if (c.entry) {
            table.Set(102, *c.entry);
        }
        EXPECT_EQ(LoadConfigString(table, 102), c.expected);
    }
}

TEST(StringTableTest, TextFormRoundTripsAndSkipsJunk) {
    StringTable table;
    table.Set(102, "host:8080");
    table.Set(108, "line one\nback\\slash = \xC3\xA9");
    table.Set(129, "");
    const StringTable back = StringTable::Parse(table.Serialize());
    EXPECT_EQ(back.Entries(), table.Entries());

    const StringTable parsed =
        StringTable::Parse("# comment\n\n103=a=b\r\nx=1\n=2\n1234567890=big\n105\n104=c");
    const std::map<unsigned, std::string> expected{{103, "a=b"}, {104, "c"}};
    EXPECT_EQ(parsed.Entries(), expected);
}

TEST(UpdaterConfigurationTest, ShippedTableGivesDefaultsAndPerLanguageFields) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());
    const StringTable shipped = StringTable::Parse(
        "103=aaaaaaaaaaaaaaaaaaaaaaa3\n104=aaaaaaaaaaaaaaaaaaaaaaa4\n105=aaaaaaaaaaaaaaaaaaaaaaa5\n"
        "106=aaaaaaaaaaaaaaaaaaaaaaa6\n107=aaaaaaaaaaaaaaaaaaaaaaa7\n108=Emberline\n109=Emberline\n");
    const char* argv[] = {"updater", nullptr};
    const UpdaterConfiguration plain(shipped, 1, argv);
    EXPECT_EQ(plain.ManifestHost(), "");
    EXPECT_EQ(plain.DefaultLanguage(), "");
    EXPECT_TRUE(plain.Languages().empty());
    EXPECT_EQ(plain.SkinVersion(), "?");
    EXPECT_EQ(plain.PackageVersion(), "?");
    EXPECT_EQ(plain.LogLevel(), -9);
    EXPECT_EQ(plain.GameName(""), "Emberline");
    EXPECT_EQ(plain.GameName("en"), "");  // a plain value is used only without a language code
    EXPECT_EQ(plain.DownloaderPackageId(), "aaaaaaaaaaaaaaaaaaaaaaa7");
    EXPECT_EQ(plain.DataFolder(), scratch.Path() + "/Vantrel Technologies/Halcyne");
    EXPECT_EQ(plain.SkinFolder(""),
              scratch.Path() + "/Vantrel Technologies/Halcyne/aaaaaaaaaaaaaaaaaaaaaaa6");
    // The executable path is the running program's real absolute path, not argv[0] as typed.
    EXPECT_EQ(plain.ExecutablePath().front(), '/');
    EXPECT_NE(plain.ExecutablePath(), "updater");

    StringTable localized = shipped;
    localized.Set(102, "127.0.0.1:8080");
    localized.Set(106, "en=skinEN;de=skinDE");
    localized.Set(108, "en=Emberline;de=Glutlinie");
    localized.Set(129, "en=English;de=Deutsch");
    localized.Set(130, "de");
    const char* args[] = {"updater", "skinVersion=7", nullptr};
    const UpdaterConfiguration configured(localized, 2, args);
    EXPECT_EQ(configured.ManifestHost(), "127.0.0.1:8080");
    EXPECT_EQ(configured.DefaultLanguage(), "de");
    EXPECT_EQ(configured.Languages(), (KeyValueList{{"en", "English"}, {"de", "Deutsch"}}));
    EXPECT_EQ(configured.GameName("de"), "Glutlinie");
    EXPECT_EQ(configured.SkinPackageId("en"), "skinEN");
    EXPECT_EQ(configured.SkinFolder("de"), scratch.Path() + "/Vantrel Technologies/Halcyne/skinDE");
    EXPECT_EQ(configured.SkinVersion(), "7");

    EXPECT_EQ(plain.ManifestKeys(), "");
    localized.Set(133, "a,b");
    EXPECT_EQ(UpdaterConfiguration(localized, 1, argv).ManifestKeys(), "a,b");
    // A key list too long for the 255-unit rule is still a key list: the engine refuses it rather than
    // running unverified.
    localized.Set(133, std::string(300, 'k'));
    EXPECT_EQ(UpdaterConfiguration(localized, 1, argv).ManifestKeys(), std::string(300, 'k'));

    // A default language without a language list is not used.
    StringTable noList = shipped;
    noList.Set(130, "de");
    EXPECT_EQ(UpdaterConfiguration(noList, 1, argv).DefaultLanguage(), "");
}

TEST(UpdaterConfigurationTest, TheDataFolderIsInTheFirstCandidateWhereEveryFolderOfTheRunIsPrivate) {
    struct Case {
        const char* label;
        const char* argument;
        bool linkedTransfers;  // the transfers folder in TMPDIR is a link to a folder of the user's
        const char* base;      // where the data folder is
        bool logs;
    };
    const Case cases[] = {
        {"TMPDIR", "log=3", false, "tmp", true},
        {"nothing to log: no logs folder", "log=0", false, "tmp", false},
        {"a link in TMPDIR", "log=3", true, "cache", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder scratch;
        boost::filesystem::create_directory(scratch / "tmp");
        if (c.linkedTransfers) {
            boost::filesystem::create_directories(scratch / "tmp/Vantrel Technologies/Halcyne");
            boost::filesystem::create_directory(scratch / "elsewhere");
            boost::filesystem::create_directory_symlink(
                scratch / "elsewhere", scratch / "tmp/Vantrel Technologies/Halcyne/transfers");
        }
        test::ScopedEnvironment t("TMPDIR", scratch / "tmp"), x("XDG_CACHE_HOME", scratch / "cache");
        const char* argv[] = {"updater", c.argument, nullptr};
        const UpdaterConfiguration configuration(StringTable(), 2, argv);
        const std::string data = scratch / c.base + "/Vantrel Technologies/Halcyne";
        EXPECT_EQ(configuration.DataFolder(), data);
        for (const char* folder : {"", "/shortcuts", "/transfers", "/logs"}) {
            SCOPED_TRACE(folder);
            struct stat st {};
            const bool made = ::lstat((data + folder).c_str(), &st) == 0;
            EXPECT_EQ(made, std::string(folder) != "/logs" || c.logs);
            EXPECT_TRUE(!made || (S_ISDIR(st.st_mode) && (st.st_mode & 077) == 0));
        }
        if (c.linkedTransfers) {  // nothing was made in the refused candidate, nor through the link
            EXPECT_FALSE(boost::filesystem::exists(scratch / "tmp/Vantrel Technologies/Halcyne/shortcuts"));
            EXPECT_TRUE(boost::filesystem::is_empty(scratch / "elsewhere"));
        }
    }
}

TEST(UpdaterConfigurationTest, NoTemporaryDirectoryLeavesTheDataFolderEmptyWithAReason) {
    test::ScopedEnvironment t("TMPDIR", std::nullopt), x("XDG_CACHE_HOME", std::nullopt),
        h("HOME", std::nullopt);
    const UpdaterConfiguration configuration(StringTable(), 0, nullptr);
    EXPECT_EQ(configuration.DataFolder(), "");
    EXPECT_EQ(configuration.SkinFolder(""), "");
    EXPECT_FALSE(configuration.DataFolderError().empty());
}

}  // namespace
}  // namespace halcyne::Updater
