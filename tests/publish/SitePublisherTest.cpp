// The publishing library: what a published site holds, what is refused (naming the culprit) and that a
// refusal leaves the site as it was.
#include <functional>
#include <map>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineFormats.hpp"
#include "SitePublisher.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::publish {
namespace {

namespace fs = boost::filesystem;

// Every file of a folder with its bytes, for comparing whole sites.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    if (!fs::exists(folder)) {
        return files;
    }
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        if (fs::is_regular_file(it->symlink_status())) {
            files[fs::relative(it->path(), folder).generic_string()] =
                test::ReadFileText(it->path().string());
        }
    }
    return files;
}

class SitePublisherTest : public ::testing::Test {
public:
    void SetUp() override {
        Write("bin/run.sh", "#!/bin/sh\necho run\n");
        Write("data/b", std::string(10, 'b'));
        Write("data/a & <b>", "0123456789");
        Write("data/100% #1?\xc3\xa9", "z");
        info.partnerId = "P";
        info.packageId = "K";
        info.versionId = "V1";
        info.name = "Demo \"&\" <Package>";
        info.run = "bin/run.sh";
        info.chunkSize = 4;
    }
    void Write(const std::string& relative, const std::string& bytes) {
        fs::create_directories(fs::path(source / relative).parent_path());
        test::WriteFileText(source / relative, bytes);
    }

    test::ScratchFolder source;
    test::ScratchFolder site;
    PackageInfo info;
};

TEST_F(SitePublisherTest, PublishesTheFolderAsTheEngineReadsIt) {
    SitePublisher publisher(site.Path());
    const std::string xml = publisher.PublishFolder(source.Path(), info);

    EXPECT_EQ(test::ReadFileText(site / "manifests/K/V1.xml"), xml);
    EXPECT_EQ(test::ReadFileText(site / "manifests/K/current.xml"), xml);
    for (const std::string path : {"bin/run.sh", "data/b", "data/a & <b>"}) {
        EXPECT_EQ(test::ReadFileText(site / ("packages/P/K/V1/" + path)), test::ReadFileText(source / path))
            << path;
    }
    // Nothing but the published files: no temporary file is left behind.
    EXPECT_EQ(Snapshot(site.Path()).size(), 6u);

    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    StandardPackageManifest manifest;
    manifest.Load(tree);
    EXPECT_EQ(manifest.GetName(), info.name);
    EXPECT_EQ(manifest.GetRun(), "bin/run.sh");
    ASSERT_EQ(manifest.GetFiles().size(), 4u);
    // Sorted by path; the checksums are the engine's, chunk by chunk.
    const auto& file = manifest.GetFiles()[0];
    EXPECT_EQ(file->GetPath(), "bin/run.sh");
    EXPECT_EQ(manifest.GetFiles()[1]->GetPath(), "data/100% #1?\xc3\xa9");
    EXPECT_EQ(manifest.GetFiles()[2]->GetPath(), "data/a & <b>");
    const auto& digits = manifest.GetFiles()[2]->GetChecksums();
    ASSERT_EQ(digits.size(), 3u);
    EXPECT_EQ(digits[0], ChunkCrc32("0123", 4));
    EXPECT_EQ(digits[2], ChunkCrc32("89", 2));
    EXPECT_EQ(file->GetSize(), 19u);

    const std::string nodes = publisher.PublishNodeList("P", {{"n1", "127.0.0.1:81", "/packages/", 2}});
    boost::property_tree::ptree list;
    ReadManifestXml(nodes, list);
    StandardNodeListManifest nodeList;
    nodeList.Load(list);
    ASSERT_EQ(nodeList.GetNodes().size(), 1u);
    EXPECT_EQ(nodeList.GetNodes()[0]->GetHost(), "127.0.0.1:81");
    // Rewritten once the ports are known.
    publisher.PublishNodeList("P", {{"n1", "127.0.0.1:82", "/packages/", 1}});
    EXPECT_NE(test::ReadFileText(site / "nodes/P.xml").find("127.0.0.1:82"), std::string::npos);
}

TEST_F(SitePublisherTest, EveryFileAndChunkCarriesItsSha256UnlessHashingIsTurnedOff) {
    const auto fileOf = [](const std::string& xml, std::size_t index) {
        boost::property_tree::ptree tree;
        ReadManifestXml(xml, tree);
        StandardPackageManifest manifest;
        manifest.Load(tree);
        return manifest.GetFiles().at(index);
    };
    // "data/a & <b>" holds 0123456789: chunks 0123, 4567 and 89.
    const std::string digest = "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882";
    const std::vector<std::string> chunkDigests = {
        "1be2e452b46d7a0d9656bbb1f768e8248eba1b75baed65f5d99eafa948899a6a",
        "db2e7f1bd5ab9968ae76199b7cc74795ca7404d5a08d78567715ce532f9d2669",
        "cd70bea023f752a0564abb6ed08d42c1440f2e33e29914e55e0be1595e24f45a",
    };
    // The same version published again with more digests each time is the same content: accepted, and the
    // manifests gain them (as a site published before the digests existed is brought up to date).
    struct Case {
        const char* label;
        bool hashFiles;
        bool hashChunks;
    };
    const Case cases[] = {
        {"no digests", false, false},
        {"the files' digests", true, false},
        {"the files' and the chunks' digests", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        info.hashFiles = c.hashFiles;
        info.hashChunks = c.hashChunks;
        const std::string xml = SitePublisher(site.Path()).PublishFolder(source.Path(), info);
        EXPECT_EQ(xml.find("sha256") != std::string::npos, c.hashFiles || c.hashChunks);
        const auto file = fileOf(xml, 2);
        EXPECT_EQ(file->GetSha256(), c.hashFiles ? digest : "");
        std::vector<std::string> chunks;
        for (const Sha256::Digest& chunk : file->GetChunkSha256()) {
            chunks.push_back(Sha256::ToHex(chunk));
        }
        EXPECT_EQ(chunks, c.hashChunks ? chunkDigests : std::vector<std::string>{});
        const auto run = fileOf(xml, 0);
        EXPECT_EQ(run->GetChunkSha256().size(), c.hashChunks ? run->GetChecksums().size() : 0u);
        EXPECT_EQ(test::ReadFileText(site / "manifests/K/V1.xml"), xml);
        EXPECT_EQ(test::ReadFileText(site / "manifests/K/current.xml"), xml);
    }
    // Other content under the same version is still refused.
    Write("data/b", std::string(10, 'c'));
    EXPECT_THROW(SitePublisher(site.Path()).PublishFolder(source.Path(), info), PublishError);
}

TEST_F(SitePublisherTest, MarksFilesWithAnExecuteBitAndThoseTheGlobsMatch) {
    Write("bin/game",
          "\x7f"
          "ELF");
    Write("bin/lib/helper",
          "\x7f"
          "ELF");
    Write("tools/others", "x");
    Write("tools/group", "x");
    const auto mode = [&](const std::string& path, mode_t bits) {
        ASSERT_EQ(::chmod((source / path).c_str(), bits), 0) << path;
    };
    mode("bin/game", 0755);
    mode("tools/others", 0601);
    mode("tools/group", 0610);
    mode("data/b", 0644);
    const auto marked = [&](const std::vector<std::string>& globs) {
        test::ScratchFolder fresh;
        PackageInfo package = info;
        package.executableGlobs = globs;
        return MarkedExecutables(SitePublisher(fresh.Path()).PublishFolder(source.Path(), package));
    };
    using Paths = std::vector<std::string>;
    // Sorted by path, as the manifest lists them.
    EXPECT_EQ(marked({}), (Paths{"bin/game", "tools/group", "tools/others"}));
    // '*' stays within a segment; a glob adds to the mode bits.
    EXPECT_EQ(marked({"bin/*"}), (Paths{"bin/game", "bin/run.sh", "tools/group", "tools/others"}));
    EXPECT_EQ(marked({"bin/*/*", "data/?"}),
              (Paths{"bin/game", "bin/lib/helper", "data/b", "tools/group", "tools/others"}));

    // A version published before it had marks is the same content with them; the copies stay plain files.
    for (const char* path : {"bin/game", "tools/others", "tools/group"}) {
        mode(path, 0644);
    }
    SitePublisher(site.Path()).PublishFolder(source.Path(), info);
    mode("bin/game", 0700);
    EXPECT_EQ(MarkedExecutables(SitePublisher(site.Path()).PublishFolder(source.Path(), info)),
              Paths{"bin/game"});
    EXPECT_EQ(MarkedExecutables(test::ReadFileText(site / "manifests/K/current.xml")), Paths{"bin/game"});
    struct stat status {};
    ASSERT_EQ(::stat((site / "packages/P/K/V1/bin/game").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
}

TEST_F(SitePublisherTest, OutputIsReproducibleAndRepublishingTheSameContentIsAccepted) {
    test::ScratchFolder other;
    SitePublisher(site.Path()).PublishFolder(source.Path(), info);
    SitePublisher(other.Path()).PublishFolder(source.Path(), info);
    EXPECT_EQ(Snapshot(site.Path()), Snapshot(other.Path()));
    const auto before = Snapshot(site.Path());
    EXPECT_NO_THROW(SitePublisher(site.Path()).PublishFolder(source.Path(), info));
    EXPECT_EQ(Snapshot(site.Path()), before);
    // A newer version that is not made current leaves current.xml alone.
    info.versionId = "V2";
    SitePublisher(site.Path()).PublishFolder(source.Path(), info, false);
    EXPECT_EQ(test::ReadFileText(site / "manifests/K/current.xml"), before.at("manifests/K/current.xml"));
}

TEST_F(SitePublisherTest, RefusalsNameTheCulpritAndLeaveTheSiteAsItWas) {
    SitePublisher(site.Path()).PublishFolder(source.Path(), info);
    const auto published = Snapshot(site.Path());

    struct Case {
        const char* name;
        std::function<void(PackageInfo&, SitePublisherTest&)> arrange;
        const char* culprit;
    };
    const std::vector<Case> cases = {
        {"empty file", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/empty", ""); }, "data/empty"},
        {"link", [](PackageInfo&, SitePublisherTest& t) { ::symlink("b", (t.source / "data/link").c_str()); },
         "data/link"},
        {"fifo", [](PackageInfo&, SitePublisherTest& t) { ::mkfifo((t.source / "data/fifo").c_str(), 0600); },
         "data/fifo"},
        {"unknown run file", [](PackageInfo& p, SitePublisherTest&) { p.run = "bin/missing"; },
         "bin/missing"},
        {"version current", [](PackageInfo& p, SitePublisherTest&) { p.versionId = "current"; }, "current"},
        {"other content", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/b", "changed"); }, "V1"},
        {"new file", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/c", "c"); }, "V1"},
        {"slash in id", [](PackageInfo& p, SitePublisherTest&) { p.packageId = "a/b"; }, "a/b"},
        {"dot id", [](PackageInfo& p, SitePublisherTest&) { p.partnerId = ".."; }, "partner id"},
        {"empty id", [](PackageInfo& p, SitePublisherTest&) { p.versionId = ""; }, "version id"},
        {"control in name", [](PackageInfo& p, SitePublisherTest&) { p.name = "a\x01"; }, "package name"},
        {"empty name", [](PackageInfo& p, SitePublisherTest&) { p.name = ""; }, "--name"},
        {"file name the URL cannot carry",
         [](PackageInfo&, SitePublisherTest& t) { t.Write("data/x\ty", "1"); }, "data/x\ty"},
        {"chunk size 0", [](PackageInfo& p, SitePublisherTest&) { p.chunkSize = 0; }, "chunk size"},
        {"executable glob that matches nothing",
         [](PackageInfo& p, SitePublisherTest&) {
             p.executableGlobs = {"bin/*", "bin/ru"};
         },
         "bin/ru"},
        {"staged-file suffix",
         [](PackageInfo&, SitePublisherTest& t) { t.Write("data/b.halcyne-part", "1"); },
         "data/b.halcyne-part"},
        {"staged-file suffix on a folder",
         [](PackageInfo&, SitePublisherTest& t) { t.Write("x.halcyne-part/c", "1"); }, "x.halcyne-part/c"},
        // The next publication would remove it as a file a killed run left behind.
        {"named like a temporary file",
         [](PackageInfo&, SitePublisherTest& t) { t.Write("data/.b.publishing-a1B2c3", "1"); },
         "data/.b.publishing-a1B2c3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchFolder fresh;
        fs::copy(source.Path(), fresh / "src", fs::copy_options::recursive);
        const std::string original = source.Path();
        PackageInfo package = info;
        c.arrange(package, *this);
        try {
            SitePublisher(site.Path()).PublishFolder(source.Path(), package);
            ADD_FAILURE() << "not refused";
        } catch (const PublishError& error) {
            EXPECT_NE(std::string(error.what()).find(c.culprit), std::string::npos) << error.what();
        }
        EXPECT_EQ(Snapshot(site.Path()), published);
        fs::remove_all(original);
        fs::rename(fresh / "src", original);
    }
}

// The engine writes every id as one percent-encoded segment of its URLs, so ids that a URL would otherwise
// decode or cut are carried to the folders they name.
TEST_F(SitePublisherTest, IdsThatAUrlMustEncodeArePublished) {
    info.packageId = "k?x";
    info.versionId = "v%41";
    SitePublisher(site.Path()).PublishFolder(source.Path(), info);
    EXPECT_EQ(test::ReadFileText(site / "packages/P/k?x/v%41/data/b"), std::string(10, 'b'));
    EXPECT_TRUE(fs::exists(site / "manifests/k?x/current.xml"));
}

TEST(ChunkChecksumsTest, OneEightDigitChecksumPerChunk) {
    test::ScratchFolder folder;
    struct Case {
        std::size_t size;
        std::uint32_t chunkSize;
        std::size_t chunks;
    };
    for (const Case c :
         {Case{1, 4, 1}, Case{4, 4, 1}, Case{5, 4, 2}, Case{9 * 1024 * 1024 + 1, 1024 * 1024, 10},
          Case{5 * 1024 * 1024, 3 * 1024 * 1024, 2}}) {
        std::string bytes(c.size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 4096);
        }
        test::WriteFileText(folder / "f", bytes);
        const std::string text = ChunkChecksums(folder / "f", c.chunkSize);
        ASSERT_EQ(text.size(), c.chunks * 8) << c.size;
        // Every chunk's, also of chunks larger than the pieces the file is read in.
        for (std::size_t chunk = 0; chunk < c.chunks; ++chunk) {
            const std::size_t first = chunk * c.chunkSize;
            char expected[9];
            std::snprintf(
                expected, sizeof expected, "%08x",
                ChunkCrc32(bytes.data() + first, std::min<std::size_t>(c.chunkSize, bytes.size() - first)));
            EXPECT_EQ(text.substr(chunk * 8, 8), expected) << c.size << " chunk " << chunk;
        }
    }
}

TEST(PublishFolderTest, LargeFilesArriveWholeWithTheChecksumsOfTheirBytes) {
    // Sizes around the pieces the bytes are written in (1 MiB) and the size from which the checksums are
    // computed beside the copy (8 MiB), with chunks that do and do not divide the file.
    struct Case {
        std::size_t size;
        std::uint32_t chunkSize;
    };
    for (const Case c :
         {Case{1024 * 1024 + 3, 65536}, Case{8 * 1024 * 1024, 1024 * 1024},
          Case{9 * 1024 * 1024 + 1, 1024 * 1024}, Case{10 * 1024 * 1024 + 7, 3 * 1024 * 1024}}) {
        SCOPED_TRACE(c.size);
        test::ScratchFolder source;
        test::ScratchFolder site;
        std::string bytes(c.size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 4096);
        }
        test::WriteFileText(source / "f", bytes);
        const std::string xml =
            SitePublisher(site.Path()).PublishFolder(source.Path(), {"P", "K", "1", "N", "", c.chunkSize});
        EXPECT_TRUE(test::ReadFileText(site / "packages/P/K/1/f") == bytes);
        EXPECT_NE(xml.find("<checksums>" + ChunkChecksums(source / "f", c.chunkSize) + "</checksums>"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace halcyne::publish
