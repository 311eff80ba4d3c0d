#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/DownloaderLaunch.hpp"
#include "app/posix/PosixShortcut.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

// A locale that only knows its language: the command line reads nothing else.
class LanguageOnly : public SimpleLocale {
public:
    explicit LanguageOnly(std::string code) : code_(std::move(code)) {}
    std::string GetLanguage() const override { return code_; }
    void SetLanguage(const std::string& code) override { code_ = code; }
    std::string Translate(const std::string& text) const override { return text; }
    std::string DurationText(int, int, int) const override { return {}; }

private:
    std::string code_;
};

StringTable Table(std::initializer_list<std::pair<const unsigned, std::string>> changes) {
    StringTable table = StringTable::Parse(
        "103=dl-partner\n104=game-partner\n105=game-pkg\n106=skin-pkg\n"
        "107=dl-pkg\n108=Emberline\n109=Emberline Folder\n");
    for (const auto& [id, value] : changes) {
        if (value.empty()) {
            table.Erase(id);
        } else {
            table.Set(id, value);
        }
    }
    return table;
}

TEST(DownloaderCommandLineTest, ElementsInOrderWhenTheyApply) {
    struct Case {
        const char* label;
        StringTable table;
        std::vector<std::string> arguments;
        std::string language;
        std::string skinRunPath;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"plain configuration",
         Table({}),
         {"updater"},
         "",
         "",
         R"( /id "game-partner" /package "game-pkg" /name "Emberline" /folder "Emberline Folder")"},
        {"skin run path",
         Table({}),
         {"updater"},
         "",
         "bin/skin.dat",
         R"( /id "game-partner" /package "game-pkg" /name "Emberline" /folder "Emberline Folder")"
         R"( /skin "skin-pkg/bin/skin.dat")"},
        {"skin run path with a leading separator",
         Table({}),
         {"updater"},
         "",
         "/skin.dat",
         R"( /id "game-partner" /package "game-pkg" /name "Emberline" /folder "Emberline Folder")"
         R"( /skin "skin-pkg/skin.dat")"},
        {"no game partner",
         Table({{104, ""}}),
         {"updater", "log=0"},
         "",
         "",
         R"( /package "game-pkg" /name "Emberline" /folder "Emberline Folder" /log "0")"},
        {"everything, per language",
         Table({{102, "127.0.0.1:8080"},
                {105, "en=pkg-en;de=pkg-de"},
                {106, "en=skin-en;de=skin-de"},
                {108, "en=Emberline;de=Glutlinie"},
                {109, "en=Ember;de=Glut Ordner"},
                {129, "en=English;de=Deutsch"}}),
         {"updater", "packageVersion=1.2", "log=-1"},
         "de",
         "run.dat",
         R"( /host "127.0.0.1:8080" /id "game-partner" /package "pkg-de" /name "Glutlinie" /folder "Glut Ordner")"
         R"( /locale "de" /version "1.2" /skin "skin-de/run.dat" /log "-1")"},
        {"a language without its entries",
         Table({{129, "en=English"}}),
         {"updater"},
         "en",
         "",
         R"( /id "game-partner" /package "" /name "" /folder "" /locale "en")"},
        // Nothing can be escaped inside the quotes: a value with a quote would add arguments of its own.
        {"quote in the game name", Table({{108, "Ember\" /evil \"x"}}), {"updater"}, "", "", std::nullopt},
        {"quote in the version", Table({}), {"updater", "packageVersion=1\" /x \""}, "", "", std::nullopt},
        {"quote in the skin run path", Table({}), {"updater"}, "", "a\".dat", std::nullopt},
        {"quote in the host", Table({{102, "h\"ost"}}), {"updater"}, "", "", std::nullopt},
    };
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());  // a configuration makes its folders there
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        UpdaterConfiguration configuration(c.table, 0, nullptr);
        configuration.ParseArguments(c.arguments);
        EXPECT_EQ(DownloaderCommandLine(configuration, LanguageOnly(c.language), c.skinRunPath), c.expected);
    }
}

// The text as UTF-16 little-endian with the byte order mark.
std::string Utf16File(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (const char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

TEST(FileUrlTest, PercentEncodedAbsoluteFileUrls) {
    EXPECT_EQ(FileUrlFromPath("/opt/game/run"), "file:///opt/game/run");
    EXPECT_EQ(FileUrlFromPath("/tmp/a b/\xC3\xBC%#?.exe"), "file:///tmp/a%20b/%C3%BC%25%23%3F.exe");
    EXPECT_EQ(FileUrlFromPath("rel ative"),
              "file://" + boost::filesystem::current_path().string() + "/rel%20ative");
    EXPECT_EQ(FileUrlFromPath(""), std::nullopt);
    const std::string longest = "/" + std::string(MaximumFileUrlLength - 8, 'a');
    EXPECT_EQ(FileUrlFromPath(longest)->size(), MaximumFileUrlLength);
    EXPECT_EQ(FileUrlFromPath(longest + "a"), std::nullopt);
    EXPECT_EQ(FileUrlFromPath("/" + std::string(1000, ' ')), std::nullopt);  // 3000 characters encoded
}

TEST(PosixShortcutTest, WritesTheInternetShortcutAndReplacesAnOldOne) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());  // the shortcut's folder is below it
    const std::string folder = scratch / "data/shortcuts";
    PosixShortcut shortcut("game-pkg", folder);
    EXPECT_EQ(shortcut.FilePath(), folder + "/game-pkg.url");
    ASSERT_TRUE(shortcut.Create("/opt/My Game/updater"));
    const std::string expected = Utf16File(
        "[InternetShortcut]\r\nURL=file:///opt/My%20Game/updater\r\n"
        "IconFile=file:///opt/My%20Game/updater\r\nIconIndex=0\r\n");
    EXPECT_EQ(test::ReadFileText(shortcut.FilePath()), expected);
    EXPECT_EQ(expected.substr(0, 8), std::string("\xFF\xFE[\0I\0n\0", 8));

    test::WriteFileText(shortcut.FilePath(),
                        "an old shortcut that is longer than the new one will be, by far.....");
    ASSERT_TRUE(shortcut.Create("/x"));
    EXPECT_EQ(test::ReadFileText(shortcut.FilePath()),
              Utf16File("[InternetShortcut]\r\nURL=file:///x\r\nIconFile=file:///x\r\nIconIndex=0\r\n"));
    // Nothing but the shortcut is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"game-pkg.url"});

    ASSERT_TRUE(shortcut.CopyTo(scratch.Path(), "copy"));
    EXPECT_EQ(test::ReadFileText(scratch / "copy.url"), test::ReadFileText(shortcut.FilePath()));
    EXPECT_TRUE(shortcut.RemoveFrom(scratch.Path(), "copy"));
    EXPECT_FALSE(shortcut.RemoveFrom(scratch.Path(), "copy"));
    EXPECT_FALSE(boost::filesystem::exists(scratch / "copy.url"));
}

TEST(PosixShortcutTest, FailuresReturnFalseAndLeaveTheOldShortcut) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());
    test::ScratchFolder outside;
    test::WriteFileText(scratch / "old.url", "old");
    test::WriteFileText(scratch / "file", "");
    boost::filesystem::create_directories(scratch / "dir.url/inside");
    struct Case {
        const char* label;
        std::string name;
        std::string folder;
        std::string target;
    };
    const Case cases[] = {
        {"empty name", "", scratch / "new", "/x"},
        {"name with a separator", "../escape", scratch / "new", "/x"},
        {"dot-dot name", "..", scratch / "new", "/x"},
        {"empty target", "old", scratch.Path(), ""},
        {"URL too long", "old", scratch.Path(), "/" + std::string(3000, 'a')},
        {"folder is a file", "old", scratch / "file", "/x"},
        {"folder below a file", "old", scratch / "file/sub", "/x"},
        {"folder outside the temporary directory", "old", outside.Path(), "/x"},
        {"shortcut is a folder", "dir", scratch.Path(), "/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(PosixShortcut(c.name, c.folder).Create(c.target));
    }
    EXPECT_EQ(test::ReadFileText(scratch / "old.url"), "old");
    EXPECT_FALSE(boost::filesystem::exists(scratch / "new"));
    EXPECT_FALSE(boost::filesystem::exists(scratch / "escape.url"));
    EXPECT_TRUE(boost::filesystem::is_empty(outside.Path()));
    EXPECT_TRUE(boost::filesystem::exists(scratch / "dir.url/inside"));
    EXPECT_FALSE(PosixShortcut("missing", scratch.Path()).CopyTo(scratch / "copies", "copy"));
    EXPECT_FALSE(PosixShortcut("old", scratch.Path()).CopyTo(scratch.Path(), "a/b"));
    EXPECT_FALSE(PosixShortcut("old", scratch.Path()).RemoveFrom(scratch.Path(), "dir"));
}

// A link where the shortcut belongs leads nowhere: writing replaces the link itself, copying refuses it.
TEST(PosixShortcutTest, ALinkInTheShortcutsPlaceIsNeitherWrittenThroughNorCopied) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());  // shortcuts are written below it only
    test::WriteFileText(scratch / "secret", "outside");
    boost::filesystem::create_directories(scratch / "data");
    boost::filesystem::create_symlink(scratch / "secret", scratch / "data/game.url");
    PosixShortcut shortcut("game", scratch / "data");

    EXPECT_FALSE(shortcut.CopyTo(scratch.Path(), "copy"));
    EXPECT_FALSE(boost::filesystem::exists(scratch / "copy.url"));
    ASSERT_TRUE(shortcut.Create("/x"));
    EXPECT_FALSE(boost::filesystem::is_symlink(scratch / "data/game.url"));
    EXPECT_EQ(test::ReadFileText(scratch / "secret"), "outside");
}

TEST(PosixShortcutTest, UpdaterShortcutGoesToTheDataFolderUnderTheGamePackage) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());
    const UpdaterConfiguration configuration(Table({{105, "en=pkg-en;de=pkg-de"}, {129, "en=English"}}), 0,
                                             nullptr);
    ASSERT_TRUE(CreateUpdaterShortcut(configuration, LanguageOnly("de")));
    const std::string file = configuration.DataFolder() + "/shortcuts/pkg-de.url";
    const std::string url = *FileUrlFromPath(configuration.ExecutablePath());
    EXPECT_EQ(test::ReadFileText(file),
              Utf16File("[InternetShortcut]\r\nURL=" + url + "\r\nIconFile=" + url + "\r\nIconIndex=0\r\n"));
    // Without a game package for the language there is no shortcut.
    EXPECT_FALSE(CreateUpdaterShortcut(configuration, LanguageOnly("fr")));
}

TEST(LaunchDownloaderTest, StartsTheVerifiedRunFileAndNothingPutInItsPlace) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment tmp("TMPDIR", scratch.Path());
    const UpdaterConfiguration configuration(Table({}), 0, nullptr);
    const std::string runFile = configuration.DataFolder() + "/bin/downloader.sh";
    const std::string report = scratch / "report";
    const auto install = [&](const std::string& path, const std::string& who) {
        test::WriteFileText(path, "#!/bin/sh\necho \"" + who + " $2\" > '" + report + "'\n");
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    };
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced after its verification" : "unchanged");
        boost::filesystem::remove_all(configuration.DataFolder());
        boost::filesystem::remove(report);
        boost::filesystem::create_directories(configuration.DataFolder() + "/bin");
        install(runFile, "downloader");
        struct stat status {};
        ASSERT_EQ(::stat(runFile.c_str(), &status), 0);
        const FileIdentity verified{status.st_dev, status.st_ino, status.st_nlink};
        if (replaced) {
            install(runFile + ".new", "intruder");
            boost::filesystem::rename(runFile + ".new", runFile);
        }
        EXPECT_EQ(LaunchDownloader(configuration, LanguageOnly(""), "bin/downloader.sh", verified, ""),
                  !replaced);
        EXPECT_EQ(boost::filesystem::exists(report) ? test::ReadFileText(report) : "not started",
                  replaced ? "not started" : "downloader game-partner\n");
    }
}

}  // namespace
}  // namespace halcyne::Updater
