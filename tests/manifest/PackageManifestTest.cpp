#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

constexpr std::uint64_t Max64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t Max32 = std::numeric_limits<std::uint32_t>::max();

// Everything a loaded manifest says, or the kind of exception its loading threw.
std::string Outcome(const std::function<StandardPackageManifest()>& load) {
    try {
        const StandardPackageManifest manifest = load();
        std::string out = manifest.GetId() + "|" + manifest.GetName() + "|" + manifest.GetPartnerId() + "|" +
                          manifest.GetVersionId() + "|" + manifest.GetRun();
        for (const auto& file : manifest.GetFiles()) {
            out += "\n" + file->GetPath() + "|" + std::to_string(file->GetChunkSize()) + "|" +
                   std::to_string(file->GetSize()) + "|" + file->GetSha256() + "|" +
                   (file->IsMarkedExecutable() ? "x" : "-");
            for (const std::uint32_t checksum : file->GetChecksums()) {
                out += " " + std::to_string(checksum);
            }
        }
        return out;
    } catch (const ManifestParseException&) {
        return "ManifestParseException";
    } catch (const std::exception& other) {
        return std::string("other exception: ") + other.what();
    }
}

// Loads the document from the whole tree, and as the engine reads it, with the file elements handed to the
// manifest one by one while the text is parsed: both must say the same. Returns the second.
StandardPackageManifest LoadPackage(const std::string& xml) {
    const auto whole = [&] {
        ptree tree;
        ReadManifestXml(xml, tree);
        StandardPackageManifest manifest;
        manifest.Load(tree);
        return manifest;
    };
    const auto streamed = [&] {
        std::string text = xml;
        ptree tree;
        StandardPackageManifest manifest;
        ReadManifestXmlInPlace(text, tree, manifest.FileSink());
        manifest.Load(tree);
        return manifest;
    };
    EXPECT_EQ(Outcome(streamed), Outcome(whole)) << xml;
    return streamed();
}

// A package document around the given "files" content (and extra package content before it).
std::string Package(const std::string& files, const std::string& extra = "") {
    return "<?xml version=\"1.0\"?>\n<package>\n  <id>pkg</id>\n  <name>Game</name>\n  "
           "<partnerId>p1</partnerId>\n"
           "  <versionId>v7</versionId>\n" +
           extra + "  <files>" + files + "</files>\n</package>\n";
}

std::string File(const std::string& path, const std::string& chunkSize, const std::string& size,
                 const std::string& checksums) {
    return "<file><path>" + path + "</path><chunksize>" + chunkSize + "</chunksize><size>" + size +
           "</size><checksums>" + checksums + "</checksums></file>";
}

const std::string OneChunk = "cbf43926";
const std::string ThreeChunks = "0000000112345678FFFFFFFF";

TEST(ChunkCountTest, CountsChunksAndRefusesCountsPast32Bits) {
    struct Case {
        std::uint32_t chunkSize;
        std::uint64_t size;
        std::uint32_t count;  // when it fits
        bool overflows;
    };
    const Case cases[] = {
        {0, 100, 0, false},
        {4, 10, 3, false},
        {4, 8, 2, false},
        {4, 0, 0, false},
        {Max32, 1, 1, false},
        {1, Max32, Max32, false},
        {1, std::uint64_t{1} << 32, 0, true},
        {1, std::uint64_t{1} << 40, 0, true},
        {2, Max64, 0, true},                  // size + chunkSize - 1 wraps
        {Max32, Max64 - Max32 + 2, 0, true},  // wraps by exactly one
        {Max32, Max64 - Max32 + 1, 0, true},  // the largest size that does not wrap: the count is too big
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.chunkSize) + " / " + std::to_string(c.size));
        if (c.overflows) {
            EXPECT_THROW(ChunkCount(c.chunkSize, c.size), ManifestOverflowException);
        } else {
            EXPECT_EQ(ChunkCount(c.chunkSize, c.size), c.count);
        }
    }
}

TEST(ChunkCountTest, ChunkRangesCoverTheFileWithAShortLastChunk) {
    EXPECT_EQ(GetChunkRange(4, 10, 0).lowerBound, 0u);
    EXPECT_EQ(GetChunkRange(4, 10, 0).upperBound, 3u);
    EXPECT_EQ(GetChunkRange(4, 10, 1).lowerBound, 4u);
    EXPECT_EQ(GetChunkRange(4, 10, 2).lowerBound, 8u);
    EXPECT_EQ(GetChunkRange(4, 10, 2).upperBound, 9u);
    EXPECT_EQ(GetChunkRange(Max32, Max64, Max32 - 1).upperBound,
              std::uint64_t{Max32} * (Max32 - 1) + Max32 - 1);
    EXPECT_THROW(GetChunkRange(4, 10, 3), std::out_of_range);
    EXPECT_THROW(GetChunkRange(0, 10, 0), std::out_of_range);
}

TEST(PackageManifestTest, LoadsValidDocuments) {
    struct Case {
        const char* label;
        std::string xml;
        std::string id;
        std::size_t files;
        std::string run;      // expected run path ("" for none)
        std::uint64_t total;  // total size
        std::vector<std::uint32_t> firstChecksums;
    };
    const Case cases[] = {
        {"child elements",
         Package(File("bin/game.dat", "4", "10", ThreeChunks) + File("a.txt", "4", "1", OneChunk)),
         "pkg",
         2,
         "",
         11,
         {0x00000001, 0x12345678, 0xffffffff}},
        {"attributes",
         "<package id='pkg' name='n' partnerId='p' versionId='v' run='x'><files>"
         "<file path='x' chunksize='4' size='10' checksums='" +
             ThreeChunks + "'/></files></package>",
         "pkg",
         1,
         "x",
         10,
         {0x00000001, 0x12345678, 0xffffffff}},
        {"child element wins over attribute",
         "<package id='attr'><id>child</id><name>n</name><partnerId>p</partnerId><versionId>v</versionId>"
         "<files><file path='wrong' size='99'><path>right</path><chunksize>4</chunksize><size>1</size>"
         "<checksums>" +
             OneChunk + "</checksums></file></files></package>",
         "child",
         1,
         "",
         1,
         {0xcbf43926}},
        {"no files", Package(""), "pkg", 0, "", 0, {}},
        {"comment outside files",
         Package(File("a", "4", "1", OneChunk), "<!-- made by hand -->"),
         "pkg",
         1,
         "",
         1,
         {0xcbf43926}},
        {"empty run is no run",
         Package(File("a", "4", "1", OneChunk), "<run></run>"),
         "pkg",
         1,
         "",
         1,
         {0xcbf43926}},
        {"run file",
         Package(File("a", "4", "1", OneChunk) + File("game", "4", "1", OneChunk), "<run>game</run>"),
         "pkg",
         2,
         "game",
         2,
         {0xcbf43926}},
        {"numbers with white space",
         Package(File("a", " 4\n", "\t10 ", ThreeChunks)),
         "pkg",
         1,
         "",
         10,
         {0x00000001, 0x12345678, 0xffffffff}},
        {"one chunk of the largest size",
         Package(File("a", std::to_string(Max32), "1", OneChunk)),
         "pkg",
         1,
         "",
         1,
         {0xcbf43926}},
        {"leading slashes", Package(File("//dir/a", "4", "1", OneChunk)), "pkg", 1, "", 1, {0xcbf43926}},
        // An empty file has no chunk and so no checksum; its digest is the empty input's.
        {"empty file", Package(File(".keep", "4", "0", "")), "pkg", 1, "", 0, {}},
        {"empty file with digests",
         Package("<file><path>e</path><chunksize>4</chunksize><size>0</size><checksums/><chunksha256/>"
                 "<sha256>e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855</sha256></file>"),
         "pkg",
         1,
         "",
         0,
         {}},
        {"other elements ignored",
         Package(File("a", "4", "1", OneChunk), "<extra><files/></extra>"),
         "pkg",
         1,
         "",
         1,
         {0xcbf43926}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StandardPackageManifest manifest;
        ASSERT_NO_THROW(manifest = LoadPackage(c.xml));
        EXPECT_EQ(manifest.GetId(), c.id);
        ASSERT_EQ(manifest.GetFiles().size(), c.files);
        EXPECT_EQ(manifest.GetRun(), c.run);
        EXPECT_EQ(manifest.GetTotalSize(), c.total);
        EXPECT_EQ(manifest.GetRunFiles().size() + manifest.GetOtherFiles().size(), c.files);
        if (c.run.empty()) {
            EXPECT_EQ(manifest.GetRunFile(), nullptr);
            EXPECT_TRUE(manifest.GetRunFiles().empty());
        } else {
            ASSERT_NE(manifest.GetRunFile(), nullptr);
            EXPECT_EQ(manifest.GetRunFile()->GetPath(), c.run);
            ASSERT_EQ(manifest.GetRunFiles().size(), 1u);
            EXPECT_EQ(manifest.GetRunFiles()[0], manifest.GetRunFile());
        }
        if (c.files > 0) {
            EXPECT_EQ(manifest.GetFiles()[0]->GetChecksums(), c.firstChecksums);
        }
    }
}

// Documents where reading the files one by one could part from reading the whole tree: only the first
// "files" of the first "package" is streamed, and whatever else stands there is still seen.
TEST(PackageManifestTest, FilesHandedOverWhileParsingLoadAsTheWholeTreeDoes) {
    const std::string a = File("a", "4", "1", OneChunk);
    const std::string b = File("b", "4", "1", OneChunk);
    const std::string head = "<id>i</id><name>n</name><partnerId>p</partnerId><versionId>v</versionId>";
    const std::string documents[] = {
        "<package>" + head + "<files>" + a + "</files></package><package>" + head + "<files>" + b +
            "</files></package>",
        "<package>" + head + "<files>" + a + "</files><files>" + b + "</files></package>",
        "<package>" + head + "<files>\n  " + a + "\n  text " + b + "\n</files></package>",
        "<package>" + head + "<files>" + a + "<!-- c -->" + b + "</files></package>",
        "<package>" + head + "<files file='x'>" + a + "</files></package>",
        "<package>" + head + "<files><file path='a' path.deeper='1' chunksize='4' size='1' checksums='" +
            OneChunk + "'/></files></package>",
        "<package>" + head + "<files><file path.x='1' chunksize='4' size='1' checksums='" + OneChunk +
            "'/></files></package>",
        "<package>" + head +
            "<files><file><path><![CDATA[c]]></path><chunksize>4</chunksize><size>1</size>"
            "<checksums>" +
            OneChunk + "</checksums></file></files></package>",
        "<package files='x'>" + head + "</package>",
        "<other/><package>" + head + "<other><files>" + a + "</files></other><files>" + b +
            "</files></package>",
    };
    for (const std::string& xml : documents) {
        try {
            LoadPackage(xml);
        } catch (const ManifestParseException&) {
        }
    }
}

TEST(PackageManifestTest, KeepsDocumentOrderAndSplitsRunFromOtherFiles) {
    const auto manifest =
        LoadPackage(Package(File("b", "4", "1", OneChunk) + File("run.sh", "2", "3", "0000000100000002") +
                                File("a", "4", "2", OneChunk),
                            "<run>run.sh</run>"));
    ASSERT_EQ(manifest.GetOtherFiles().size(), 2u);
    EXPECT_EQ(manifest.GetOtherFiles()[0]->GetPath(), "b");
    EXPECT_EQ(manifest.GetOtherFiles()[1]->GetPath(), "a");
    EXPECT_EQ(manifest.GetFiles()[1], manifest.GetRunFile());
    EXPECT_EQ(manifest.GetRunFile()->GetChunkSize(), 2u);
    EXPECT_EQ(manifest.GetRunFile()->GetSize(), 3u);
    EXPECT_EQ(manifest.GetName(), "Game");
    EXPECT_EQ(manifest.GetPartnerId(), "p1");
    EXPECT_EQ(manifest.GetVersionId(), "v7");
}

TEST(PackageManifestTest, RefusesInvalidDocuments) {
    const std::string good = File("a", "4", "1", OneChunk);
    struct Case {
        const char* label;
        std::string xml;
    };
    const Case cases[] = {
        {"no package", "<packages><id>x</id></packages>"},
        {"no files",
         "<package><id>i</id><name>n</name><partnerId>p</partnerId><versionId>v</versionId></package>"},
        {"no id",
         "<package><name>n</name><partnerId>p</partnerId><versionId>v</versionId><files/></package>"},
        {"empty id",
         "<package id=''><name>n</name><partnerId>p</partnerId><versionId>v</versionId><files/></package>"},
        {"empty version",
         "<package><id>i</id><name>n</name><partnerId>p</partnerId><versionId></versionId><files/></"
         "package>"},
        {"comment in files", Package(good + "<!-- x -->")},
        {"stray element in files", Package(good + "<folder/>")},
        {"attribute on files", "<package id='i' name='n' partnerId='p' versionId='v'><files count='1'>" +
                                   good + "</files></package>"},
        {"size 0 with a checksum", Package(File("a", "4", "0", OneChunk))},
        {"chunk size 0", Package(File("a", "0", "1", ""))},
        {"empty file with chunk size 0", Package(File("a", "0", "0", ""))},
        {"checksums one short", Package(File("a", "4", "10", ThreeChunks.substr(1)))},
        {"checksums one long", Package(File("a", "4", "10", ThreeChunks + "0"))},
        {"checksum not hex", Package(File("a", "4", "1", "cbf4392g"))},
        {"checksum with sign", Package(File("a", "4", "1", "+bf43926"))},
        {"negative size", Package(File("a", "4", "-1", OneChunk))},
        {"size with plus", Package(File("a", "4", "+1", OneChunk))},
        {"size with fraction", Package(File("a", "4", "1.0", OneChunk))},
        {"size in hex", Package(File("a", "4", "0x1", OneChunk))},
        {"empty size", Package(File("a", "4", "", OneChunk))},
        {"digits split by space", Package(File("a", "4", "1 0", ThreeChunks))},
        {"chunk size past 32 bits", Package(File("a", "4294967296", "1", OneChunk))},
        {"size past 64 bits", Package(File("a", "4", "18446744073709551616", OneChunk))},
        {"chunk count past 32 bits", Package(File("a", "1", "1099511627776", OneChunk))},
        {"huge count, short checksums", Package(File("a", "1", "4294967295", OneChunk))},
        {"missing checksums", Package("<file><path>a</path><chunksize>4</chunksize><size>1</size></file>")},
        {"missing path", Package("<file><chunksize>4</chunksize><size>1</size><checksums>" + OneChunk +
                                 "</checksums></file>")},
        {"empty path", Package(File("", "4", "1", OneChunk))},
        {"only slashes", Package(File("//", "4", "1", OneChunk))},
        {"parent segment", Package(File("a/../../b", "4", "1", OneChunk))},
        {"leading parent", Package(File("../b", "4", "1", OneChunk))},
        {"parent alone", Package(File("/..", "4", "1", OneChunk))},
        {"dot segment", Package(File("a/./b", "4", "1", OneChunk))},
        {"empty segment", Package(File("a//b", "4", "1", OneChunk))},
        {"trailing slash", Package(File("a/", "4", "1", OneChunk))},
        {"backslash", Package(File("a\\..\\b", "4", "1", OneChunk))},
        {"same path twice", Package(good + good)},
        {"same path after leading slashes", Package(good + File("/a", "4", "2", OneChunk))},
        {"run names no file", Package(good, "<run>b</run>")},
        {"run differs in case", Package(good, "<run>A</run>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THROW(LoadPackage(c.xml), ManifestParseException);
    }
}

TEST(PackageManifestTest, ReadsTheOptionalSha256OfAFile) {
    const std::string digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string fileStart =
        "<file><path>a</path><chunksize>4</chunksize><size>1</size><checksums>" + OneChunk + "</checksums>";
    struct Case {
        const char* label;
        std::string file;
        std::string sha256;  // expected; "!" when the manifest is refused
    };
    const Case cases[] = {
        {"absent", File("a", "4", "1", OneChunk), ""},
        {"element", fileStart + "<sha256>" + digest + "</sha256></file>", digest},
        {"attribute",
         "<file sha256='" + digest + "' path='a' chunksize='4' size='1' checksums='" + OneChunk + "'/>",
         digest},
        {"upper case is kept in lower case", fileStart + "<sha256>" + upper + "</sha256></file>", digest},
        {"element wins over attribute",
         "<file sha256='" + std::string(64, '0') + "'>" + fileStart.substr(6) + "<sha256>" + digest +
             "</sha256></file>",
         digest},
        {"empty", fileStart + "<sha256></sha256></file>", "!"},
        {"one digit short", fileStart + "<sha256>" + digest.substr(1) + "</sha256></file>", "!"},
        {"one digit long", fileStart + "<sha256>" + digest + "0</sha256></file>", "!"},
        {"not hex", fileStart + "<sha256>" + digest.substr(1) + "g</sha256></file>", "!"},
        {"surrounded by white space", fileStart + "<sha256> " + digest + " </sha256></file>", "!"},
        {"malformed attribute",
         "<file sha256='x' path='a' chunksize='4' size='1' checksums='" + OneChunk + "'/>", "!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.sha256 == "!") {
            EXPECT_THROW(LoadPackage(Package(c.file)), ManifestParseException);
            continue;
        }
        StandardPackageManifest manifest;
        ASSERT_NO_THROW(manifest = LoadPackage(Package(c.file)));
        ASSERT_EQ(manifest.GetFiles().size(), 1u);
        EXPECT_EQ(manifest.GetFiles()[0]->GetSha256(), c.sha256);
    }
}

TEST(PackageManifestTest, ReadsTheOptionalChunkDigestsOfAFile) {
    // Three chunks (size 10, chunk size 4); the digests are "00..", "01..", "ab.." and the like, so that a
    // digest read at the wrong offset or in the wrong byte order shows.
    const auto digestText = [](const char* pair) {
        std::string text;
        for (int i = 0; i < 32; ++i) {
            text += pair;
        }
        return text;
    };
    const std::string three = digestText("00") + digestText("1f") + digestText("Ab");
    const std::string fileStart = "<file><path>a</path><chunksize>4</chunksize><size>10</size><checksums>" +
                                  ThreeChunks + "</checksums>";
    struct Case {
        const char* label;
        std::string file;
        std::vector<std::uint8_t> firstBytes;  // expected first byte of each digest; {} when absent
        bool refused;
    };
    const Case cases[] = {
        {"absent", File("a", "4", "10", ThreeChunks), {}, false},
        {"element", fileStart + "<chunksha256>" + three + "</chunksha256></file>", {0x00, 0x1f, 0xab}, false},
        {"attribute",
         "<file chunksha256='" + three + "' path='a' chunksize='4' size='10' checksums='" + ThreeChunks +
             "'/>",
         {0x00, 0x1f, 0xab},
         false},
        {"empty", fileStart + "<chunksha256></chunksha256></file>", {}, true},
        {"one digest short",
         fileStart + "<chunksha256>" + three.substr(64) + "</chunksha256></file>",
         {},
         true},
        {"one digest long",
         fileStart + "<chunksha256>" + three + digestText("00") + "</chunksha256></file>",
         {},
         true},
        {"one digit short",
         fileStart + "<chunksha256>" + three.substr(1) + "</chunksha256></file>",
         {},
         true},
        {"not hex in the last digest",
         fileStart + "<chunksha256>" + three.substr(0, 191) + "g</chunksha256></file>",
         {},
         true},
        {"white space", fileStart + "<chunksha256> " + three + "</chunksha256></file>", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.refused) {
            EXPECT_THROW(LoadPackage(Package(c.file)), ManifestParseException);
            continue;
        }
        StandardPackageManifest manifest;
        ASSERT_NO_THROW(manifest = LoadPackage(Package(c.file)));
        ASSERT_EQ(manifest.GetFiles().size(), 1u);
        const auto& digests = manifest.GetFiles()[0]->GetChunkSha256();
        ASSERT_EQ(digests.size(), c.firstBytes.size());
        for (std::size_t i = 0; i < digests.size(); ++i) {
            EXPECT_EQ(digests[i].front(), c.firstBytes[i]);
            EXPECT_EQ(digests[i].back(), c.firstBytes[i]);
        }
    }
}

TEST(PackageManifestTest, ReadsTheExecutableMarkOfAFile) {
    const std::string fileStart =
        "<file><path>a</path><chunksize>4</chunksize><size>1</size><checksums>" + OneChunk + "</checksums>";
    const auto attribute = [](const std::string& value) {
        return "<file executable='" + value + "' path='a' chunksize='4' size='1' checksums='" + OneChunk +
               "'/>";
    };
    struct Case {
        const char* label;
        std::string file;
        int marked;  // 1 marked, 0 not marked, -1 the manifest is refused
    };
    const Case cases[] = {
        {"absent", File("a", "4", "1", OneChunk), 0},
        {"element true", fileStart + "<executable>true</executable></file>", 1},
        {"element false", fileStart + "<executable>false</executable></file>", 0},
        {"attribute true", attribute("true"), 1},
        {"attribute false", attribute("false"), 0},
        {"element wins over attribute",
         "<file executable='false'>" + fileStart.substr(6) + "<executable>true</executable></file>", 1},
        {"empty", fileStart + "<executable></executable></file>", -1},
        {"upper case", attribute("True"), -1},
        {"number", attribute("1"), -1},
        {"yes", attribute("yes"), -1},
        {"surrounded by white space", fileStart + "<executable> true </executable></file>", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.marked < 0) {
            EXPECT_THROW(LoadPackage(Package(c.file)), ManifestParseException);
            continue;
        }
        StandardPackageManifest manifest;
        ASSERT_NO_THROW(manifest = LoadPackage(Package(c.file)));
        ASSERT_EQ(manifest.GetFiles().size(), 1u);
        EXPECT_EQ(manifest.GetFiles()[0]->IsMarkedExecutable(), c.marked == 1);
        EXPECT_EQ(manifest.MarksExecutables(), c.marked == 1);
    }
}

TEST(PackageManifestTest, RefusesPathsWithTheStagedFileSuffixNamingThem) {
    const std::string suffix(StagedFileSuffix);
    for (const std::string& path :
         std::vector<std::string>{"game" + suffix, "bin/game" + suffix, "/" + suffix, "data" + suffix + "/a",
                                  "a/b" + suffix + "/c"}) {
        SCOPED_TRACE(path);
        try {
            LoadPackage(Package(File("ok", "4", "1", OneChunk) + File(path, "4", "1", OneChunk)));
            ADD_FAILURE() << "loaded";
        } catch (const ManifestParseException& refused) {
            EXPECT_NE(std::string(refused.what()).find(path), std::string::npos) << refused.what();
        }
    }
    // Only the end of a segment counts.
    for (const std::string& path :
         std::vector<std::string>{"game" + suffix + "2", "a" + suffix + "x/b", "game.halcyne"}) {
        SCOPED_TRACE(path);
        EXPECT_NO_THROW(LoadPackage(Package(File(path, "4", "1", OneChunk))));
    }
}

TEST(IsExecutableFileTest, MarksDecideWhenThereAreAnyElseTheExtension) {
    PosixSharedFileFactory factory;
    const auto file = [](const std::string& path, bool marked) {
        return "<file path='" + path + "' chunksize='4' size='1' checksums='" + OneChunk + "'" +
               (marked ? " executable='true'" : "") + "/>";
    };
    struct Case {
        const char* label;
        std::string files;  // the file asked about comes first
        std::string run;
        bool executable;
    };
    const Case cases[] = {
        {"marked program without extension", file("bin/game", true) + file("data/x", false), "", true},
        {"unmarked data file beside a mark", file("data/x", false) + file("bin/game", true), "", false},
        {"unmarked .sh beside a mark", file("tools/a.sh", false) + file("bin/game", true), "", false},
        {"without marks, a program's extension", file("tools/a.sh", false) + file("data/x", false), "", true},
        {"without marks, a data file", file("data/x", false) + file("tools/a.sh", false), "", false},
        {"without marks, no extension", file("bin/game", false), "", false},
        {"unmarked run file beside a mark", file("bin/start", false) + file("bin/game", true), "bin/start",
         true},
        {"run file without marks or extension", file("bin/start", false), "bin/start", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string run = c.run.empty() ? "" : "<run>" + c.run + "</run>";
        const StandardPackageManifest manifest = LoadPackage(Package(c.files, run));
        EXPECT_EQ(IsExecutableFile(manifest, *manifest.GetFiles().at(0), factory), c.executable);
    }
}

TEST(PackageManifestTest, FailedLoadLeavesTheManifestAsItWas) {
    ptree good;
    ReadManifestXml(Package(File("a", "4", "1", OneChunk), "<run>a</run>"), good);
    ptree bad;
    ReadManifestXml(Package(File("b", "4", "1", OneChunk) + File("c", "4", "1", "")), bad);

    StandardPackageManifest manifest;
    manifest.Load(good);
    EXPECT_THROW(manifest.Load(bad), ManifestParseException);
    ASSERT_EQ(manifest.GetFiles().size(), 1u);
    EXPECT_EQ(manifest.GetFiles()[0]->GetPath(), "a");
    EXPECT_EQ(manifest.GetRunFile(), manifest.GetFiles()[0]);

    StandardFileManifest file(good.get_child("package.files.file"));
    EXPECT_THROW(file.Load(bad.get_child("package.files").back().second), ManifestParseException);
    EXPECT_EQ(file.GetPath(), "a");
    EXPECT_EQ(file.GetChecksums().size(), 1u);
}

TEST(PackageManifestTest, LoadsTheSampleDocumentsOfTheFuzzCorpus) {
    // The fuzzer's seeds are whole documents as the manifest service serves them.
    const auto elements = LoadPackage(
        test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/package_manifest/elements.xml"));
    EXPECT_EQ(elements.GetId(), "downloader");
    EXPECT_EQ(elements.GetVersionId(), "1.4.2");
    ASSERT_EQ(elements.GetFiles().size(), 2u);
    EXPECT_EQ(elements.GetRunFile(), elements.GetFiles()[0]);
    EXPECT_EQ(elements.GetFiles()[0]->GetChecksums(),
              (std::vector<std::uint32_t>{0x0a1b2c3d, 0x4e5f6a7b, 0x8c9d0e1f}));
    EXPECT_EQ(elements.GetTotalSize(), 11u);

    const auto attributes = LoadPackage(
        test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/package_manifest/attributes.xml"));
    EXPECT_EQ(attributes.GetRun(), "/skin.dat");
    EXPECT_EQ(attributes.GetRunFile()->GetChecksums(), (std::vector<std::uint32_t>{0xdeadbeef, 0}));
    EXPECT_EQ(attributes.GetFiles()[1]->GetChunkSize(), Max32);
    EXPECT_FALSE(attributes.MarksExecutables());

    const auto hashed =
        LoadPackage(test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/package_manifest/hashed.xml"));
    ASSERT_EQ(hashed.GetFiles().size(), 2u);
    // "ab" and "c", the digests of the second in upper case.
    ASSERT_EQ(hashed.GetFiles()[0]->GetChunkSha256().size(), 2u);
    EXPECT_EQ(Sha256::ToHex(hashed.GetFiles()[0]->GetChunkSha256()[0]),
              "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");
    EXPECT_EQ(Sha256::ToHex(hashed.GetFiles()[0]->GetChunkSha256()[1]),
              "2e7d2c03a9507ae265ecf5b5356885a53393a2029d241394997265a1a25aefc6");
    EXPECT_TRUE(hashed.GetFiles()[1]->GetChunkSha256().empty());

    const auto marked =
        LoadPackage(test::ReadFileText(test::SourceDir() + "/tests/fuzz/corpus/package_manifest/marked.xml"));
    ASSERT_EQ(marked.GetFiles().size(), 3u);
    EXPECT_TRUE(marked.MarksExecutables());
    EXPECT_TRUE(marked.GetFiles()[1]->IsMarkedExecutable());
    EXPECT_FALSE(marked.GetFiles()[2]->IsMarkedExecutable());
}

}  // namespace
}  // namespace halcyne
