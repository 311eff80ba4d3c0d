#include <filesystem>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <sys/stat.h>

#include "common/EngineSettings.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/ManifestStoreImpl.hpp"
#include "manifest/TransferManifest.hpp"
#include "support/RecordingFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = std::filesystem;

const std::string Id = "0123456789abcdef0123456789abcdef";
const std::string OtherId = "fedcba9876543210fedcba9876543210";

TransferParams Params(const std::string& id, std::string destPath) {
    TransferParams params;
    params.transferId = id;
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "1.2";
    params.destPath = std::move(destPath);
    return params;
}

// Every test has its own temporary directory (TMPDIR) and a store with the engine's default folder.
class ManifestStoreTest : public ::testing::Test {
protected:
    ManifestStoreTest() : tmp(scratch / "tmp"), environment("TMPDIR", tmp) { fs::create_directory(tmp); }

    std::string Folder() const { return tmp + "/" + EngineSettings().transfersFolder; }
    std::string PathOf(const std::string& id) const { return Folder() + "/" + id + ".json"; }
    bool Save(const TransferParams& params) {
        return store.Save(params.transferId, TransferManifest(params));
    }
    // Writes a stored file directly, creating the folders.
    void Plant(const std::string& id, const std::string& text) {
        fs::create_directories(Folder());
        test::WriteFileText(PathOf(id), text);
    }

    test::ScratchFolder scratch;
    const std::string tmp;
    test::ScopedEnvironment environment;
    test::RecordingFileFactory factory;
    JsonTempFileManifestStore<TransferManifest> store{EngineSettings().transfersFolder, &factory};
};

void ExpectSameParams(const TransferParams& actual, const TransferParams& expected) {
    EXPECT_EQ(actual.transferId, expected.transferId);
    EXPECT_EQ(actual.partnerId, expected.partnerId);
    EXPECT_EQ(actual.packageId, expected.packageId);
    EXPECT_EQ(actual.versionId, expected.versionId);
    EXPECT_EQ(actual.destPath, expected.destPath);
    EXPECT_FALSE(actual.suspended);
}

TEST_F(ManifestStoreTest, RoundTripsAwkwardTextsInTheGoldenForm) {
    // The inputs of tests/manifest/data/store/generate.py, which wrote the golden files.
    const struct {
        const char* golden;
        std::string destPath;
    } cases[] = {
        {"plain", "/home/a/Games/Emberline"},
        {"quote_slash_backslash", "C:\\Games \"x\" /y"},
        {"named_controls", "\b\f\n\r"},
        {"other_controls", "\t\x01\x1f\x7f"},
        {"nul", std::string("a\0b", 3)},
        {"around_u00ff", "\x7e\x7f\xC2\x80\xC3\xBF\xC4\x80"},
        {"around_uffff", "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBF"},
        {"beyond_uffff", "\xF0\x90\x80\x80\xF0\x9F\x94\xA5\xF4\x8F\xBF\xBF"},
        {"long_path",
         [] {
             std::string path = "/";
             for (int i = 0; i < 1200; ++i) {
                 path += "d\xC3\xA9p\xE2\x82\xAC/";
             }
             return path;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        const TransferParams params = Params(Id, c.destPath);
        ASSERT_TRUE(Save(params));
        const std::string text = test::ReadFileText(PathOf(Id));
        EXPECT_EQ(text,
                  test::ReadFileText(test::SourceDir() + "/tests/manifest/data/store/" + c.golden + ".json"));

        TransferManifest loaded;
        ASSERT_TRUE(store.Load(Id, loaded));
        ExpectSameParams(loaded.params, params);

        // An independent parser reads the same five texts.
        const auto json = nlohmann::json::parse(text);
        EXPECT_EQ(json.size(), 5u);
        EXPECT_EQ(json.at("transferId").get<std::string>(), Id);
        EXPECT_EQ(json.at("versionId").get<std::string>(), "1.2");
        EXPECT_EQ(json.at("destPath").get<std::string>(), c.destPath);

        ASSERT_TRUE(store.Remove(Id));
    }
}

TEST_F(ManifestStoreTest, SaveNeverOverwritesAndRemoveFreesTheId) {
    ASSERT_TRUE(Save(Params(Id, "/first")));
    const std::string first = test::ReadFileText(PathOf(Id));
    EXPECT_FALSE(Save(Params(Id, "/second")));
    EXPECT_EQ(test::ReadFileText(PathOf(Id)), first);

    EXPECT_TRUE(store.Remove(Id));
    EXPECT_FALSE(fs::exists(PathOf(Id)));
    EXPECT_FALSE(store.Remove(Id));
    TransferManifest loaded;
    EXPECT_FALSE(store.Load(Id, loaded));

    ASSERT_TRUE(Save(Params(Id, "/second")));
    ASSERT_TRUE(store.Load(Id, loaded));
    EXPECT_EQ(loaded.params.destPath, "/second");
}

TEST_F(ManifestStoreTest, SaveCreatesPrivateFoldersAndLoadCreatesNothing) {
    TransferManifest loaded;
    EXPECT_FALSE(store.Load(Id, loaded));
    EXPECT_FALSE(store.Remove(Id));
    EXPECT_TRUE(fs::is_empty(tmp));

    ::chmod(tmp.c_str(), 0755);
    ASSERT_TRUE(Save(Params(Id, "/d")));
    std::string folder = tmp;
    for (const char* part : {"Vantrel Technologies", "Halcyne", "transfers"}) {
        folder += std::string("/") + part;
        SCOPED_TRACE(folder);
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
    }
}

TEST_F(ManifestStoreTest, ReadsAnyValidLayoutAndRefusesDamagedFiles) {
    const std::string valid = R"({"transferId":")" + Id +
                              R"(","partnerId":"P","packageId":"K","versionId":"1.2",)"
                              R"("destPath":"\/d"})"
                              "\n";
    const struct {
        const char* name;
        std::string text;
        bool loads;
    } cases[] = {
        {"valid", valid, true},
        {"without the final line feed", valid.substr(0, valid.size() - 1), true},
        {"other layout and order, extra members",
         "{\n  \"destPath\" : \"/d\",\n \"extra\": 7, \"more\": \"[{\",\n \"versionId\": "
         "\"1.2\",\"packageId\":\"K\","
         "\"partnerId\":\"P\",\"transferId\":\"" +
             Id + "\"}",
         true},
        {"version as a number",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K","versionId":1.2,)"
             R"("destPath":"/d"})",
         true},
        {"raw UTF-8 and escapes",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K",)"
             R"("versionId":"1.2","destPath":"\/d"})",
         true},
        {"missing destPath",
         R"({"transferId":")" + Id + R"(","partnerId":"P","packageId":"K","versionId":"1.2"})", false},
        {"missing transferId", R"({"partnerId":"P","packageId":"K","versionId":"1.2","destPath":"/d"})",
         false},
        {"destPath an object",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K","versionId":"1.2",)"
             R"("destPath":{"x":"/d"}})",
         false},
        {"an extra member nested",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K","versionId":"1.2","destPath":"/d","extra":{"a":[1]}})",
         false},
        {"50,000 levels deep", R"({"transferId":")" + Id + R"(","x":)" + std::string(50000, '['), false},
        {"an array", "[\"" + Id + "\"]", false},
        {"empty", "", false},
        {"cut after the brace", valid.substr(0, 1), false},
        {"cut inside a value", valid.substr(0, 30), false},
        {"cut before the closing brace", valid.substr(0, valid.size() - 2), false},
        {"invalid UTF-8",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K","versionId":"1.2",)"
             "\"destPath\":\"\xC3\x28\"}",
         false},
        {"lone surrogate",
         R"({"transferId":")" + Id +
             R"(","partnerId":"P","packageId":"K","versionId":"1.2",)"
             R"("destPath":"\uD83D"})",
         false},
    };
    Plant(OtherId, R"({"transferId":")" + OtherId +
                       R"(","partnerId":"P","packageId":"K","versionId":"1.2","destPath":"/o"})");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plant(Id, c.text);
        TransferManifest loaded;
        EXPECT_EQ(store.Load(Id, loaded), c.loads);
        if (c.loads) {
            ExpectSameParams(loaded.params, Params(Id, "/d"));
        }
        // A damaged file stays where it is, and the other transfer still loads.
        EXPECT_EQ(test::ReadFileText(PathOf(Id)), c.text);
        TransferManifest other;
        EXPECT_TRUE(store.Load(OtherId, other));
    }
}

TEST_F(ManifestStoreTest, LoadsFilesOfEverySizeAroundTheReadStepUpTo64KiB) {
    const std::string head = R"({"transferId":")" + Id +
                             R"(","partnerId":"P","packageId":"K","versionId":"1.2",)"
                             R"("destPath":")";
    const std::string tail = "\"}";
    const struct {
        std::size_t size;
        bool loads;
    } cases[] = {{4095, true},  {4096, true},  {4097, true},  {8191, true},   {8192, true},  {8193, true},
                 {12288, true}, {65535, true}, {65536, true}, {65537, false}, {69632, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string dest(c.size - head.size() - tail.size(), 'p');
        Plant(Id, head + dest + tail);
        ASSERT_EQ(fs::file_size(PathOf(Id)), c.size);
        TransferManifest loaded;
        ASSERT_EQ(store.Load(Id, loaded), c.loads);
        if (c.loads) {
            EXPECT_EQ(loaded.params.destPath, dest);
        }
    }
    // A huge file is refused after the first bytes beyond the bound, never read whole.
    Plant(Id, head);
    fs::resize_file(PathOf(Id), std::uintmax_t{1} << 32);
    JsonTempFileManifestStoreImpl impl(EngineSettings().transfersFolder, &factory);
    std::stringstream into;
    EXPECT_THROW(impl.Fetch(Id, into), ManifestStreamException);
    EXPECT_LE(into.str().size(), 65536u);
}

TEST_F(ManifestStoreTest, RefusesCraftedIdsBeforeTheFileFactory) {
    // A decoy next to the store's folder, and one in the temporary directory itself.
    fs::create_directories(Folder());
    const std::string decoyText =
        R"({"transferId":"x","partnerId":"P","packageId":"K","versionId":"1","destPath":"/"})";
    test::WriteFileText(tmp + "/Vantrel Technologies/Halcyne/decoy.json", decoyText);
    test::WriteFileText(tmp + "/decoy.json", decoyText);
    const std::string ids[] = {
        "",
        "../decoy",
        "../../../decoy",
        "0123456789ABCDEF0123456789ABCDEF",
        "0123456789abcdef0123456789abcde",
        "0123456789abcdef0123456789abcdef0",
        "0123456789abcdef0123456789abcdeg",
        "0123456789abcdef/../../../decoy",
        "/etc/passwd",
        std::string("0123456789abcdef0123456789abcde\0", 32),
        "0123456789abcdef0123456789abcde/",
    };
    for (const std::string& id : ids) {
        SCOPED_TRACE(id);
        TransferManifest loaded;
        EXPECT_FALSE(store.Load(id, loaded));
        EXPECT_FALSE(store.Save(id, TransferManifest(Params(id, "/d"))));
        EXPECT_FALSE(store.Remove(id));
    }
    EXPECT_TRUE(factory.Calls().empty());
    EXPECT_EQ(test::ReadFileText(tmp + "/Vantrel Technologies/Halcyne/decoy.json"), decoyText);
    EXPECT_EQ(test::ReadFileText(tmp + "/decoy.json"), decoyText);
    EXPECT_TRUE(fs::is_empty(Folder()));
}

TEST_F(ManifestStoreTest, InvalidUtf8IsNeverSaved) {
    EXPECT_FALSE(Save(Params(Id, "/d\xC3\x28")));
    EXPECT_FALSE(Save(Params(Id, "/d\xED\xA0\xBD")));  // an encoded surrogate half
    EXPECT_TRUE(factory.Calls().empty());
    EXPECT_FALSE(fs::exists(PathOf(Id)));
}

TEST_F(ManifestStoreTest, ATransfersPathTakenByAFileFailsCleanly) {
    fs::create_directories(tmp + "/Vantrel Technologies/Halcyne");
    test::WriteFileText(Folder(), "not a folder");
    EXPECT_FALSE(Save(Params(Id, "/d")));
    TransferManifest loaded;
    EXPECT_FALSE(store.Load(Id, loaded));
    EXPECT_FALSE(store.Remove(Id));
    EXPECT_EQ(test::ReadFileText(Folder()), "not a folder");
}

TEST_F(ManifestStoreTest, AFolderOnTheWayThatIsNotTheUsersOwnAndPrivateIsNeverWrittenInto) {
    struct Case {
        const char* label;
        std::function<void(const std::string&)> arrange;  // given the folder that is refused
    };
    const Case cases[] = {
        {"a link to a folder of the user's",
         [&](const std::string& folder) {
             fs::create_directories(scratch / "elsewhere");
             fs::create_directories(fs::path(folder).parent_path());
             fs::create_directory_symlink(scratch / "elsewhere", folder);
         }},
        {"writable by its group",
         [](const std::string& folder) {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::owner_all | fs::perms::group_all);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(tmp + "/Vantrel Technologies");
        fs::remove_all(scratch / "elsewhere");
        c.arrange(tmp + "/Vantrel Technologies/Halcyne");
        EXPECT_FALSE(Save(Params(Id, "/d")));
        EXPECT_FALSE(fs::exists(tmp + "/Vantrel Technologies/Halcyne/transfers"));  // nor through the link
    }
}

TEST_F(ManifestStoreTest, NoTemporaryDirectoryMeansNothingIsWrittenAnywhere) {
    test::ScopedEnvironment noTmp("TMPDIR", std::nullopt);
    test::ScopedEnvironment noCache("XDG_CACHE_HOME", std::nullopt);
    test::ScopedEnvironment noHome("HOME", std::nullopt);
    EXPECT_FALSE(Save(Params(Id, "/d")));
    TransferManifest loaded;
    EXPECT_FALSE(store.Load(Id, loaded));
    EXPECT_FALSE(store.Remove(Id));
    EXPECT_TRUE(factory.Calls().empty());
}

TEST_F(ManifestStoreTest, AFullDiskLeavesNoFileBehind) {
    // The child may write files of at most 64 bytes: creating the file succeeds, writing the text fails.
    const auto result = test::RunInChildProcess(
        [&] {
            return std::string(Save(Params(Id, "/a/long/enough/destination/path")) ? "saved" : "refused");
        },
        {{RLIMIT_FSIZE, 64}});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(result.output, "refused");
    EXPECT_FALSE(fs::exists(PathOf(Id)));
    // The id is free for a later save.
    EXPECT_TRUE(Save(Params(Id, "/d")));
}

}  // namespace
}  // namespace halcyne
