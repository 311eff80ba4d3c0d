#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestText.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;

TEST(UtcTimeTest, ReadsOnlyTheOneFormAndWritesItBack) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> seconds;
    };
    const std::vector<Case> cases = {
        {"1970-01-01T00:00:00Z", 0},
        {"2000-02-29T12:34:56Z", 951827696},
        {"2038-01-19T03:14:08Z", 2147483648},
        {"9999-12-31T23:59:59Z", 253402300799},
        {"2001-02-29T00:00:00Z", std::nullopt},  // not a leap year
        {"1900-02-29T00:00:00Z", std::nullopt},
        {"2024-04-31T00:00:00Z", std::nullopt},
        {"2024-13-01T00:00:00Z", std::nullopt},
        {"2024-01-01T24:00:00Z", std::nullopt},
        {"2024-01-01T23:59:60Z", std::nullopt},
        {"1969-12-31T23:59:59Z", std::nullopt},
        {"2024-01-01T00:00:00", std::nullopt},
        {"2024-01-01 00:00:00Z", std::nullopt},
        {"2024-01-01T00:00:00+01:00", std::nullopt},
        {"2024-01-01T00:00:00.5Z", std::nullopt},
        {" 2024-01-01T00:00:00Z", std::nullopt},
        {"2024-1-01T00:00:00Z", std::nullopt},
        {"+024-01-01T00:00:00Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseUtcTime(c.text), c.seconds);
        if (c.seconds) {
            EXPECT_EQ(FormatUtcTime(*c.seconds), c.text);
        }
    }
    EXPECT_THROW(FormatUtcTime(-1), std::out_of_range);
    EXPECT_THROW(FormatUtcTime(253402300800), std::out_of_range);
}

constexpr std::int64_t Now = 1750000000;  // 2025-06-15T15:06:40Z
const std::string FloorFile = "Vantrel Technologies/Halcyne/manifest-sequences.json";

DocumentStamp Stamped(const std::string& owner, const std::string& sequence, std::int64_t expires) {
    return {owner, sequence, FormatUtcTime(expires)};
}

// Every test has its own temporary directory and guards on the engine's file in it, with a fixed clock.
class ManifestReplayGuardTest : public ::testing::Test {
protected:
    ManifestReplayGuardTest() : environment("TMPDIR", scratch.Path()) {}
    std::unique_ptr<ManifestReplayGuard> Guard() {
        return std::make_unique<ManifestReplayGuard>(FloorFile, [] { return Now; });
    }
    std::string FilePath() const { return scratch / FloorFile; }

    test::ScratchFolder scratch;
    test::ScopedEnvironment environment;
};

TEST_F(ManifestReplayGuardTest, AdmitsOnlyAFreshStampOfTheOwnerNotBelowTheFloor) {
    using K = StampedDocument;
    const std::int64_t day = 86400;
    struct Case {
        const char* name;
        K kind;
        std::string host;
        std::string owner;  // asked for
        DocumentStamp stamp;
        std::string error;  // "" when admitted
    };
    // The floors before each case: package K and partner P at 7 on host h.
    const std::vector<Case> cases = {
        {"a higher sequence", K::PackageManifest, "h", "K", Stamped("K", "8", Now + day), ""},
        {"the same document again", K::PackageManifest, "h", "K", Stamped("K", "7", Now + day), ""},
        {"an older document", K::PackageManifest, "h", "K", Stamped("K", "6", Now + day),
         "its sequence 6 is below 7, the highest already accepted for the current package manifest of "
         "package \"K\" from h"},
        {"an older node list", K::NodeList, "h", "P", Stamped("P", "6", Now + day), "is below 7"},
        {"another host keeps its own floors", K::PackageManifest, "h:8080", "K", Stamped("K", "1", Now + day),
         ""},
        {"another package keeps its own floor", K::PackageManifest, "h", "L", Stamped("L", "1", Now + day),
         ""},
        {"a node list's floor is not the package's", K::NodeList, "h", "K", Stamped("K", "1", Now + day), ""},
        {"another package's manifest", K::PackageManifest, "h", "K", Stamped("L", "9", Now + day),
         "it is the current package manifest of package \"L\", not of \"K\""},
        {"another partner's node list", K::NodeList, "h", "P", Stamped("Q", "9", Now + day),
         "it is the node list of partner \"Q\", not of \"P\""},
        {"expired beyond the hour of skew", K::NodeList, "h", "P", Stamped("P", "9", Now - 3601),
         "it expired at 2025-06-15T14:06:39Z; the updater's clock says 2025-06-15T15:06:40Z"},
        {"expired within the hour of skew", K::NodeList, "h", "P", Stamped("P", "9", Now - 3600), ""},
        {"no sequence",
         K::PackageManifest,
         "h",
         "K",
         {"K", std::nullopt, FormatUtcTime(Now + day)},
         "it is signed but carries no <sequence>"},
        {"no expiry", K::NodeList, "h", "P", {"P", "9", std::nullopt}, "carries no <Expires>"},
        {"no partner",
         K::NodeList,
         "h",
         "P",
         {std::nullopt, "9", FormatUtcTime(Now + day)},
         "carries no <PartnerId>"},
        {"a sequence that is no number", K::PackageManifest, "h", "K", Stamped("K", "8a", Now + day),
         "its <sequence> \"8a\" is not a decimal number"},
        {"a negative sequence", K::NodeList, "h", "P", Stamped("P", "-8", Now + day), "is not a decimal"},
        {"a sequence past 64 bits", K::NodeList, "h", "P", Stamped("P", "18446744073709551616", Now + day),
         "is not a decimal"},
        {"an expiry in another form",
         K::PackageManifest,
         "h",
         "K",
         {"K", "8", "2030-01-01"},
         "its <expires> \"2030-01-01\" is not a time written YYYY-MM-DDThh:mm:ssZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(scratch / "Vantrel Technologies");
        const auto guard = Guard();
        guard->Accept({K::PackageManifest, "h", "K", 7});
        guard->Accept({K::NodeList, "h", "P", 7});
        const std::string url = "http://h/document.xml";
        if (c.error.empty()) {
            const auto admitted = guard->Admit(c.kind, c.host, c.owner, c.stamp, url);
            EXPECT_EQ(admitted.sequence, std::stoull(*c.stamp.sequence));
            continue;
        }
        try {
            guard->Admit(c.kind, c.host, c.owner, c.stamp, url);
            ADD_FAILURE() << "admitted";
        } catch (const ManifestTrustException& refused) {
            EXPECT_THAT(refused.what(), HasSubstr("http://h/document.xml is refused: "));
            EXPECT_THAT(refused.what(), HasSubstr(c.error));
        }
    }
}

TEST_F(ManifestReplayGuardTest, TheFloorRisesOnlyWhenADocumentIsAcceptedAndHoldsAcrossRuns) {
    const auto stamp = [](const char* sequence) { return Stamped("K", sequence, Now + 3600); };
    {
        const auto guard = Guard();
        EXPECT_EQ(guard->Floor(StampedDocument::PackageManifest, "h", "K"), std::nullopt);
        guard->Accept(guard->Admit(StampedDocument::PackageManifest, "h", "K", stamp("5"), "u"));
        // Admitted but refused afterwards (a missing hash, say): the floor stays.
        guard->Admit(StampedDocument::PackageManifest, "h", "K", stamp("9"), "u");
        EXPECT_EQ(guard->Floor(StampedDocument::PackageManifest, "h", "K"), 5u);
    }
    // A later run reads the floor from the file.
    const auto later = Guard();
    EXPECT_EQ(later->Floor(StampedDocument::PackageManifest, "h", "K"), 5u);
    EXPECT_THROW(later->Admit(StampedDocument::PackageManifest, "h", "K", stamp("4"), "u"),
                 ManifestTrustException);
    // An older admission accepted after a newer one never lowers the floor.
    const auto older = later->Admit(StampedDocument::PackageManifest, "h", "K", stamp("6"), "u");
    later->Accept(later->Admit(StampedDocument::PackageManifest, "h", "K", stamp("8"), "u"));
    later->Accept(older);
    EXPECT_EQ(Guard()->Floor(StampedDocument::PackageManifest, "h", "K"), 8u);
    // Two guards on one file (two runs at once) keep each other's floors.
    const auto first = Guard();
    const auto second = Guard();
    first->Accept({StampedDocument::NodeList, "h", "P", 3});
    second->Accept({StampedDocument::NodeList, "h", "Q", 4});
    const auto third = Guard();
    EXPECT_EQ(third->Floor(StampedDocument::NodeList, "h", "P"), 3u);
    EXPECT_EQ(third->Floor(StampedDocument::NodeList, "h", "Q"), 4u);
    EXPECT_EQ(third->Floor(StampedDocument::PackageManifest, "h", "K"), 8u);
}

TEST_F(ManifestReplayGuardTest, TheFileIsPrivateAndReplacedWholeByARename) {
    const auto guard = Guard();
    // Ids and hosts with characters that the file's form must carry.
    guard->Accept({StampedDocument::PackageManifest, "https://h.example:8443", "a.b \"c\"/\xc3\xa9", 1});
    const std::string path = FilePath();
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    const std::string first = test::ReadFileText(path);
    // A second name for the file as it is: a rewrite in place would change what it reads.
    ASSERT_EQ(::link(path.c_str(), (scratch / "first").c_str()), 0);
    guard->Accept({StampedDocument::NodeList, "h", "P", 2});
    EXPECT_EQ(test::ReadFileText(scratch / "first"), first);
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_nlink, 1u);
    // Nothing else is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"manifest-sequences.json"});
    const auto later = Guard();
    EXPECT_EQ(later->Floor(StampedDocument::PackageManifest, "https://h.example:8443", "a.b \"c\"/\xc3\xa9"),
              1u);
    EXPECT_EQ(later->Floor(StampedDocument::NodeList, "h", "P"), 2u);
}

TEST_F(ManifestReplayGuardTest, AFileThatCannotBeTrustedCountsForNothingAndIsReplaced) {
    const std::string path = FilePath();
    const std::string valid =
        "{\"packageManifests\":[{\"host\":\"h\",\"package\":\"K\",\"sequence\":\"9\"}]}\n";
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::optional<std::uint64_t> floor;  // of package K on h, as read
    };
    const std::vector<Case> cases = {
        {"valid", [&] { test::WriteFileText(path, valid); }, 9},
        {"not JSON", [&] { test::WriteFileText(path, "{\"packageManifests\":["); }, std::nullopt},
        {"a sequence that is no number",
         [&] {
             test::WriteFileText(
                 path, "{\"packageManifests\":[{\"host\":\"h\",\"package\":\"K\",\"sequence\":\"x\"}]}");
         },
         std::nullopt},
        {"larger than the bound",
         [&] {
             std::string padded = valid;
             padded.insert(1, std::string(ManifestReplayGuard::MaxFileBytes, ' '));
             test::WriteFileText(path, padded);
         },
         std::nullopt},
        {"a link to a file elsewhere",
         [&] {
             test::WriteFileText(scratch / "elsewhere.json", valid);
             fs::create_symlink(scratch / "elsewhere.json", path);
         },
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(scratch / "Vantrel Technologies");
        fs::remove(scratch / "elsewhere.json");
        fs::create_directories(fs::path(path).parent_path());
        c.prepare();
        const auto guard = Guard();
        EXPECT_EQ(guard->Floor(StampedDocument::PackageManifest, "h", "K"), c.floor);
        // The next acceptance writes a sound file in its place (never through a link).
        guard->Accept({StampedDocument::PackageManifest, "h", "L", 1});
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(Guard()->Floor(StampedDocument::PackageManifest, "h", "L"), 1u);
        EXPECT_EQ(Guard()->Floor(StampedDocument::PackageManifest, "h", "K"), c.floor);
        if (fs::exists(scratch / "elsewhere.json")) {
            EXPECT_EQ(test::ReadFileText(scratch / "elsewhere.json"), valid);
        }
    }
}

}  // namespace
}  // namespace halcyne
