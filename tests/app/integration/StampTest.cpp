// A built binary reads the string table that the stamping tool wrote into it after the build.
#include <algorithm>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SigningKey.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using test::RunProgram;

const std::string STRING_TABLE_PROBE = test::BuiltProgram("tests/string_table_probe");
const std::string HALCYNE_STAMP = test::BuiltProgram("tools/halcyne-stamp");
const std::string HALCYNE_UPDATER = test::BuiltProgram("src/halcyne-updater");

class StampTest : public ::testing::Test {
protected:
    void SetUp() override {
        probe = scratch / "probe";
        boost::filesystem::copy_file(STRING_TABLE_PROBE, probe);
    }
    std::string Loaded(const std::string& binary, const std::vector<std::string>& ids) {
        const auto result = RunProgram(binary, ids);
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        return result.output;
    }
    test::ScratchFolder scratch;
    std::string probe;
};

TEST_F(StampTest, StampedBinaryReadsItsNewTable) {
    EXPECT_EQ(Loaded(probe, {"102", "108"}), "102=\n108=Emberline\n");

    const std::string name = "Glut\xC3\xA9line \xF0\x9F\x94\xA5";
    auto stamped = RunProgram(HALCYNE_STAMP, {probe, "--set", "102=127.0.0.1:4711", "--set", "108=" + name,
                                              "--unset", "109", "--set", "131=http://127.0.0.1:9/events"});
    ASSERT_EQ(stamped.exitStatus, 0) << stamped.errors;
    EXPECT_EQ(Loaded(probe, {"102", "108", "109", "131", "103"}),
              "102=127.0.0.1:4711\n108=" + name +
                  "\n109=\n131=http://127.0.0.1:9/events\n103=5f2a9c1e7b3d4a6f8e0c1b2d\n");
    struct stat st {};
    ASSERT_EQ(::stat(probe.c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);  // still runnable

    // --print shows the table; a whole table from a file replaces everything.
    const auto printed = RunProgram(HALCYNE_STAMP, {probe, "--print"});
    EXPECT_NE(printed.output.find("102=127.0.0.1:4711\n"), std::string::npos);
    test::WriteFileText(scratch / "table.txt", "# deployment\n102=host.example:80\n109=a\\nb\n");
    ASSERT_EQ(RunProgram(HALCYNE_STAMP, {probe, "--table", scratch / "table.txt"}).exitStatus, 0);
    EXPECT_EQ(Loaded(probe, {"102", "103"}), "102=host.example:80\n103=\n");
}

TEST_F(StampTest, OutputLeavesTheOriginalAndTheUpdaterItselfCanBeStamped) {
    const std::string updater = scratch / "updater";
    const auto result =
        RunProgram(HALCYNE_STAMP, {HALCYNE_UPDATER, "--set", "102=127.0.0.1:1", "--output", updater});
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_NE(RunProgram(HALCYNE_STAMP, {updater, "--print"}).output.find("102=127.0.0.1:1\n"),
              std::string::npos);
    // The stamped updater asks its manifest service there, where nothing answers.
    const auto run = RunProgram(updater, {}, {"TMPDIR=" + scratch.Path(), "HALCYNE_UI=console"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.errors.find("We couldn't establish a connection."), std::string::npos) << run.errors;
    const auto original = RunProgram(HALCYNE_STAMP, {HALCYNE_UPDATER, "--print"});
    EXPECT_EQ(original.output.find("102="), std::string::npos);

    // Without a game name it starts nothing: a configuration error instead of a downloader with empty
    // arguments.
    ASSERT_EQ(RunProgram(HALCYNE_STAMP, {updater, "--set", "108="}).exitStatus, 0);
    const auto unnamed = RunProgram(updater, {}, {"TMPDIR=" + scratch.Path(), "HALCYNE_UI=console"});
    EXPECT_EQ(unnamed.exitStatus, 1);
    EXPECT_NE(unnamed.errors.find("The updater's configuration is incomplete, so it cannot continue."),
              std::string::npos)
        << unnamed.errors;
}

TEST_F(StampTest, RefusesWhatTheUpdaterCouldNotLoad) {
    const std::string before = test::ReadFileText(probe);
    struct Case {
        const char* label;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"255 UTF-16 units", {probe, "--set", "108=" + std::string(255, 'x')}, "255 units"},
        {"invalid UTF-8", {probe, "--set", "108=\xFF"}, "not valid UTF-8"},
        {"not ID=VALUE", {probe, "--set", "host"}, "ID=VALUE"},
        {"unknown option", {probe, "--frobnicate"}, "unknown option"},
        {"not an updater", {scratch / "table.txt", "--set", "102=x"}, "no string table block"},
        {"missing binary", {scratch / "missing", "--print"}, "cannot read"},
        {"a malformed key list",
         {probe, "--set", "133=AAAA,"},
         "entry 133 (manifest keys): key 1 of 2 is not"},
        {"a file without a public key",
         {probe, "--public-key", scratch / "table.txt"},
         "not an Ed25519 public key"},
    };
    test::WriteFileText(scratch / "table.txt", "102=x\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto result = RunProgram(HALCYNE_STAMP, c.args);
        EXPECT_NE(result.exitStatus, 0);
        EXPECT_NE(result.errors.find(c.message), std::string::npos) << result.errors;
    }
    EXPECT_EQ(test::ReadFileText(probe), before);  // nothing half-written
    // 254 units are fine.
    EXPECT_EQ(RunProgram(HALCYNE_STAMP, {probe, "--set", "108=" + std::string(254, 'x')}).exitStatus, 0);
    EXPECT_EQ(Loaded(probe, {"108"}), "108=" + std::string(254, 'x') + "\n");
}

// --print never writes: with a change it is refused as a usage error, and with --dry-run it prints the table
// that the change would write. The binary (and an --output path) stay as they were either way.
TEST_F(StampTest, PrintNeverWritesAndADryRunShowsTheTableThatWouldBeWritten) {
    const auto key = publish::SigningKey::Generate(scratch / "studio.key");
    test::WriteFileText(scratch / "table.txt", "102=from.table\n");
    const std::string output = scratch / "out";
    struct Case {
        const char* label;
        std::vector<std::string> args;
        int status;
        std::string printed;     // a line the printed table holds (dry runs)
        std::string notPrinted;  // a line it must not hold
    };
    const Case cases[] = {
        {"--print --set", {"--print", "--set", "102=x"}, 2, "", ""},
        {"--set --print", {"--set", "102=x", "--print"}, 2, "", ""},
        {"--print --unset", {"--print", "--unset", "108"}, 2, "", ""},
        {"--print --table", {"--print", "--table", scratch / "table.txt"}, 2, "", ""},
        {"--print --public-key", {"--print", "--public-key", scratch / "studio.key.pub"}, 2, "", ""},
        {"--print --set --output", {"--print", "--set", "102=x", "--output", output}, 2, "", ""},
        {"dry run of --set", {"--print", "--dry-run", "--set", "102=x"}, 0, "102=x\n", ""},
        {"dry run of --unset", {"--dry-run", "--unset", "108"}, 0, "103=", "108=Emberline\n"},
        {"dry run of --table",
         {"--dry-run", "--table", scratch / "table.txt"},
         0,
         "102=from.table\n",
         "108="},
        {"dry run of --public-key",
         {"--print", "--dry-run", "--public-key", scratch / "studio.key.pub", "--output", output},
         0,
         "133=" + key.PublicKeyBase64() + "\n",
         ""},
        // A dry run refuses what a real run would.
        {"dry run of a malformed key list", {"--dry-run", "--set", "133=stale"}, 1, "", ""},
    };
    const std::string before = test::ReadFileText(probe);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args{probe};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto result = RunProgram(HALCYNE_STAMP, args);
        EXPECT_EQ(result.exitStatus, c.status) << result.errors;
        if (c.status == 2) {
            EXPECT_NE(result.errors.find("halcyne-stamp: --print changes nothing"), std::string::npos)
                << result.errors;
            EXPECT_EQ(result.output, "");
        }
        if (!c.printed.empty()) {
            EXPECT_NE(result.output.find(c.printed), std::string::npos) << result.output;
        }
        if (!c.notPrinted.empty()) {
            EXPECT_EQ(result.output.find(c.notPrinted), std::string::npos) << result.output;
        }
        EXPECT_EQ(test::ReadFileText(probe), before);
        EXPECT_FALSE(boost::filesystem::exists(output));
    }
    // Nothing was made beside the binary either.
    EXPECT_EQ(std::distance(boost::filesystem::directory_iterator(scratch.Path()),
                            boost::filesystem::directory_iterator()),
              4);  // probe, table.txt, studio.key, studio.key.pub
}

// A table that the updater would carry out wrongly in silence is refused with the ids and what to write
// instead, and written only with --force; the printed table shows what the updater will use per language.
TEST_F(StampTest, RefusesATableTheUpdaterWouldMisreadUnlessForced) {
    const std::vector<std::string> lists = {"--set", "105=en=G;de=G",
                                            "--set", "106=en=S;de=SD",
                                            "--set", "108=en=Game;de=Spiel",
                                            "--set", "109=en=Game;de=Spiel",
                                            "--set", "129=en=English;de=Deutsch",
                                            "--set", "130=en"};
    struct Case {
        const char* label;
        std::vector<std::string> changes;  // after the sound lists above
        std::vector<std::string> refusals;
    };
    const Case cases[] = {
        {"a sound language list", {}, {}},
        {"plain values with a language list",
         {"--set", "108=Game", "--unset", "109"},
         {"entry 108 (game name) is a plain value, but 129 lists languages (en, de): the updater would use "
          "an "
          "empty game name for every language; write 108='en=Game;de=Game'",
          "entry 109 (game folder) is not set, but 129 lists languages (en, de): the updater would use an "
          "empty "
          "game folder for every language; write 109='en=...;de=...'"}},
        {"a language missing from a list",
         {"--set", "106=en=S;fr=SF"},
         {"entry 106 (skin package) is a list without a value for every language, but 129 lists languages "
          "(en, "
          "de): the updater would use an empty skin package for de; write 106='en=S;de=...'"}},
        {"a default language that is not listed",
         {"--set", "130=fr"},
         {"entry 130 (default language) is fr, but must be one of the codes of 129 (en, de): write 130=en"}},
        {"no default language", {"--unset", "130"}, {"entry 130 (default language) is not set"}},
        {"a language list without a language",
         {"--set", "129=English", "--set", "105=G", "--set", "106=S", "--set", "108=Game", "--set",
          "109=Game"},
         {"entry 129 lists no language", "entry 130 is en, but 129 lists no language"}},
        {"an id the updater does not read", {"--set", "110=x"}, {"entry 110 is not one the updater reads"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args{probe, "--output", scratch / "out"};
        args.insert(args.end(), lists.begin(), lists.end());
        args.insert(args.end(), c.changes.begin(), c.changes.end());
        boost::filesystem::remove(scratch / "out");
        const auto refused = RunProgram(HALCYNE_STAMP, args);
        EXPECT_EQ(refused.exitStatus, c.refusals.empty() ? 0 : 1) << refused.errors;
        for (const std::string& refusal : c.refusals) {
            EXPECT_NE(refused.errors.find("halcyne-stamp: " + refusal), std::string::npos) << refused.errors;
        }
        EXPECT_EQ(boost::filesystem::exists(scratch / "out"), c.refusals.empty());
        args.push_back("--force");
        const auto forced = RunProgram(HALCYNE_STAMP, args);
        EXPECT_EQ(forced.exitStatus, 0) << forced.errors;
        for (const std::string& refusal : c.refusals) {
            EXPECT_NE(forced.errors.find("halcyne-stamp: warning: " + refusal), std::string::npos)
                << forced.errors;
        }
        EXPECT_TRUE(boost::filesystem::exists(scratch / "out"));
    }

    std::vector<std::string> args{probe};
    args.insert(args.end(), lists.begin(), lists.end());
    ASSERT_EQ(RunProgram(HALCYNE_STAMP, args).exitStatus, 0);
    const auto printed = RunProgram(HALCYNE_STAMP, {probe, "--print"});
    EXPECT_NE(
        printed.output.find(
            "# As the updater uses them, per language of 129:\n"
            "#   en (English, default): game package 105: G | skin package 106: S | game name 108: Game | "
            "game folder 109: Game\n"
            "#   de (Deutsch): game package 105: G | skin package 106: SD | game name 108: Spiel | game "
            "folder 109: Spiel\n"),
        std::string::npos)
        << printed.output;
    const auto plain = RunProgram(HALCYNE_STAMP, {probe, "--dry-run", "--force", "--unset", "129", "--unset",
                                                  "130", "--set", "108=Game", "--unset", "109"});
    EXPECT_NE(
        plain.output.find("# As the updater uses them (no language list):\n#   game package 105: en=G;de=G | "
                          "skin package 106: en=S;de=SD | game name 108: Game | game folder 109: (empty: "
                          "the updater will not start)\n"),
        std::string::npos)
        << plain.output;
}

TEST_F(StampTest, TableFileIsReadStrictlyAndAnyOtherLineIsRefusedByNumber) {
    struct Case {
        const char* label;
        std::string table;
        std::string refusal;  // empty: accepted
        std::string loaded;   // ids 102 and 133 as the stamped probe loads them
    };
    const Case cases[] = {
        {"comments, blank lines, CR LF", "# deployment\n\n  \t\n102=a=b\r\n133=\n", "", "102=a=b\n133=\n"},
        {"a space before '='", "102=host\n133 =KEY\n", "line 2: not an ID=VALUE line: '133 =KEY'", ""},
        {"a colon for '='", "# keys\n133:KEY\n", "line 2: not an ID=VALUE line", ""},
        {"indented entry", "102=host\n\n 133=KEY\n", "line 3: not an ID=VALUE line", ""},
        {"no id", "=KEY\n", "line 1: not an ID=VALUE line", ""},
        {"no value separator", "102=x\n133\n", "line 2: not an ID=VALUE line", ""},
        {"a name for an id", "host=x\n", "line 1: not an ID=VALUE line", ""},
        {"an indented comment", "  # keys\n", "line 1: not an ID=VALUE line", ""},
        {"an id beyond 16 bits", "102=x\n65536=y\n", "line 2: entry id 65536 is out of range", ""},
        {"an id of 10 digits", "4294967398=y\n", "line 1: entry id 4294967398 is out of range", ""},
    };
    const std::string table = scratch / "table.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::WriteFileText(table, c.table);
        const std::string before = test::ReadFileText(probe);
        const auto result = RunProgram(HALCYNE_STAMP, {probe, "--table", table});
        if (c.refusal.empty()) {
            EXPECT_EQ(result.exitStatus, 0) << result.errors;
            EXPECT_EQ(Loaded(probe, {"102", "133"}), c.loaded);
        } else {
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_NE(result.errors.find(table + " " + c.refusal), std::string::npos) << result.errors;
            EXPECT_EQ(test::ReadFileText(probe), before);  // nothing written
        }
    }
}

TEST_F(StampTest, WarnsWhenTheManifestKeysDisappear) {
    const auto key = publish::SigningKey::Generate(scratch / "studio.key");
    ASSERT_EQ(RunProgram(HALCYNE_STAMP, {probe, "--public-key", scratch / "studio.key.pub"}).exitStatus, 0);
    test::WriteFileText(scratch / "keyed.txt", "133=" + key.PublicKeyBase64() + "\n102=a\n");
    test::WriteFileText(scratch / "unkeyed.txt", "102=a\n");
    struct Case {
        const char* label;
        std::vector<std::string> args;
        bool warned;
    };
    const Case cases[] = {
        {"another entry set", {"--set", "102=b"}, false},
        {"a table that keeps the keys", {"--table", scratch / "keyed.txt"}, false},
        {"the keys set empty", {"--set", "133="}, true},
        {"a table without the keys", {"--table", scratch / "unkeyed.txt"}, true},
        {"the keys unset", {"--unset", "133"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args{probe, "--output", scratch / "out"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto result = RunProgram(HALCYNE_STAMP, args);
        EXPECT_EQ(result.exitStatus, 0) << result.errors;
        EXPECT_EQ(result.errors.find("warning: entry 133 (manifest keys) is removed") != std::string::npos,
                  c.warned)
            << result.errors;
    }
}

TEST_F(StampTest, WritesThroughAFreshFileAndKeepsTheMode) {
    // A link planted where a predictable temporary name would be is left alone, and so is its target.
    test::WriteFileText(scratch / "victim", "precious");
    ASSERT_EQ(::symlink((scratch / "victim").c_str(), (probe + ".stamp-tmp").c_str()), 0);
    ASSERT_EQ(::chmod(probe.c_str(), 0750), 0);

    const auto result = RunProgram(HALCYNE_STAMP, {probe, "--set", "102=127.0.0.1:4711"});
    ASSERT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(Loaded(probe, {"102"}), "102=127.0.0.1:4711\n");
    EXPECT_EQ(test::ReadFileText(scratch / "victim"), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat((probe + ".stamp-tmp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(probe.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    // Nothing is left beside the binary.
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(scratch.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"probe", "probe.stamp-tmp", "victim"}));
}

TEST_F(StampTest, PublicKeyFilesReplaceTheKeyListInOrder) {
    const auto first = publish::SigningKey::Generate(scratch / "first.key");
    const auto second = publish::SigningKey::Generate(scratch / "second.key");
    // The second key as PEM, as OpenSSL's own tools write a public key.
    const auto pem = RunProgram("/usr/bin/openssl", {"pkey", "-in", scratch / "second.key", "-pubout", "-out",
                                                     scratch / "second.pem"});
    ASSERT_EQ(pem.exitStatus, 0) << pem.errors;
    ASSERT_EQ(RunProgram(HALCYNE_STAMP, {probe, "--set", "133=stale"}).exitStatus, 1);
    const auto stamped = RunProgram(HALCYNE_STAMP, {probe, "--public-key", scratch / "first.key.pub",
                                                    "--public-key", scratch / "second.pem"});
    ASSERT_EQ(stamped.exitStatus, 0) << stamped.errors;
    EXPECT_EQ(Loaded(probe, {"133"}),
              "133=" + first.PublicKeyBase64() + "," + second.PublicKeyBase64() + "\n");
}

}  // namespace
}  // namespace halcyne
