// The publishing library: what a published site holds, what is refused (naming the culprit) and that a
// refusal leaves the site as it was.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <map>

#include <boost/filesystem.hpp>
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineFormats.hpp"
#include "SitePublisher.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "support/TestSupport.hpp"

// While set, copy_file_range fails as between file systems that cannot copy in the kernel; otherwise it is
// the C library's. The publisher's calls from this test program come here.
std::atomic<bool> kernelCopyFails{false};

extern "C" ssize_t copy_file_range(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t length,
                                   unsigned flags) noexcept {
    if (kernelCopyFails) {
        errno = EXDEV;
        return -1;
    }
    using Function = ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned);
    static const auto real = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "copy_file_range"));
    return real(in, inOffset, out, outOffset, length, flags);
}

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

// What the source folder holds but the globs leave out is not even looked at (a link, a fifo under a folder
// left out); a glob without '/' matches a name anywhere, one with '/' the path from the folder.
TEST_F(SitePublisherTest, ExclusionsLeaveOutFilesAndWholeFolders) {
    Write(".git/objects/ab", "x");
    Write("logs/today.log", "x");
    Write("data/deep/notes.tmp", "x");
    Write("data/c.tmp", "x");
    ::symlink("b", (source / ".git/HEAD").c_str());
    ::mkfifo((source / "logs/pipe").c_str(), 0600);
    using Paths = std::vector<std::string>;
    const Paths all = {"bin/run.sh", "data/100% #1?\xc3\xa9", "data/a & <b>", "data/b"};
    struct Case {
        const char* label;
        Paths globs;
        Paths paths;
        Paths excluded;
        Paths unmatched;
    };
    const Case cases[] = {
        {"names anywhere",
         {".git", "logs", "*.tmp"},
         all,
         {".git/", "data/c.tmp", "data/deep/notes.tmp", "logs/"},
         {}},
        {"a path from the folder, with a trailing slash",
         {".git/", "logs/", "data/*.tmp", "data/deep"},
         all,
         {".git/", "data/c.tmp", "data/deep/", "logs/"},
         {}},
        {"a glob that leaves out nothing",
         {".git", "logs", "*.tmp", "bin/*.exe", "c.tmp/"},
         all,
         {".git/", "data/c.tmp", "data/deep/notes.tmp", "logs/"},
         {"bin/*.exe"}},
        {"a file by its path", {".git", "logs", "*.tmp", "data/b"}, {"bin/run.sh", all[1], all[2]}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const PackageListing listing = ListPackageFiles(source.Path(), c.globs);
        EXPECT_EQ(listing.paths, c.paths);
        if (!c.excluded.empty()) {
            Paths excluded = listing.excluded;
            std::sort(excluded.begin(), excluded.end());
            EXPECT_EQ(excluded, c.excluded);
        }
        EXPECT_EQ(listing.unmatched, c.unmatched);
    }
    // Without the globs, the link is refused by name.
    try {
        ListPackageFiles(source.Path(), {"logs"});
        ADD_FAILURE() << "not refused";
    } catch (const PublishError& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr(".git/HEAD"));
    }
}

// An empty file (a placeholder such as ".keep") is published like any other: in the site, and in a manifest
// that the engine loads, with no chunk and the digest of no bytes.
TEST_F(SitePublisherTest, EmptyFilesArePublished) {
    Write("data/.keep", "");
    Write("only/.keep", "");
    info.excludeGlobs = {"*.none"};
    SitePublisher publisher(site.Path());
    const std::string xml = publisher.PublishFolder(source.Path(), info);
    EXPECT_EQ(publisher.TakeWarnings(),
              std::vector<std::string>{"--exclude *.none leaves out nothing of " + source.Path()});
    EXPECT_EQ(publisher.TakeWarnings(), std::vector<std::string>{});
    for (const std::string path : {"data/.keep", "only/.keep"}) {
        EXPECT_EQ(test::ReadFileText(site / ("packages/P/K/V1/" + path)), "");
    }
    const auto manifest = LoadPackageManifest(xml);
    ASSERT_EQ(manifest->GetFiles().size(), 6u);
    const auto& keep = *manifest->GetFiles()[1];
    EXPECT_EQ(keep.GetPath(), "data/.keep");
    EXPECT_EQ(keep.GetSize(), 0u);
    EXPECT_TRUE(keep.GetChecksums().empty());
    EXPECT_EQ(keep.GetSha256(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A version already published with other content is refused with the first field or file that differs.
TEST_F(SitePublisherTest, AVersionPublishedWithOtherContentNamesWhatDiffers) {
    ::chmod((source / "bin/run.sh").c_str(), 0755);
    SitePublisher(site.Path()).PublishFolder(source.Path(), info);
    const auto published = Snapshot(site.Path());
    struct Case {
        const char* label;
        std::function<void(PackageInfo&, SitePublisherTest&)> arrange;
        std::string named;
    };
    const std::vector<Case> cases = {
        {"name", [](PackageInfo& p, SitePublisherTest&) { p.name = "Other"; },
         "name \"Other\", published as"},
        {"run file", [](PackageInfo& p, SitePublisherTest&) { p.run = "data/b"; },
         "run file \"data/b\", published with \"bin/run.sh\""},
        {"chunk size", [](PackageInfo& p, SitePublisherTest&) { p.chunkSize = 8; },
         "file bin/run.sh: chunk size 8, published with 4"},
        {"a new file", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/c", "c"); },
         "file data/c is new"},
        {"a file gone", [](PackageInfo&, SitePublisherTest& t) { fs::remove(t.source / "data/b"); },
         "file data/b is published, but not in the folder now"},
        {"a size", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/b", "bbb"); },
         "file data/b: 3 bytes, published with 10"},
        {"bytes", [](PackageInfo&, SitePublisherTest& t) { t.Write("data/a & <b>", "0123x56789"); },
         "file data/a & <b>: other bytes from byte 4 (chunk 1)"},
        {"no digests", [](PackageInfo& p, SitePublisherTest&) { p.hashFiles = p.hashChunks = false; },
         "file bin/run.sh: published with its SHA-256, now without it (--no-hash)"},
        {"a mark gone",
         [](PackageInfo&, SitePublisherTest& t) { ::chmod((t.source / "bin/run.sh").c_str(), 0644); },
         "file bin/run.sh: published marked executable, not marked now"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder saved;
        fs::copy(source.Path(), saved / "src", fs::copy_options::recursive);
        PackageInfo package = info;
        c.arrange(package, *this);
        try {
            SitePublisher(site.Path()).PublishFolder(source.Path(), package);
            ADD_FAILURE() << "not refused";
        } catch (const PublishError& error) {
            EXPECT_THAT(error.what(),
                        ::testing::HasSubstr("version V1 of package K is already published with "
                                             "other content (" +
                                             c.named));
        }
        EXPECT_EQ(Snapshot(site.Path()), published);
        fs::remove_all(source.Path());
        fs::rename(saved / "src", source.Path());
    }
}

// A rollback (or a roll forward) only rewrites current.xml, as the version's manifest; a version that
// players could not download is refused first.
TEST_F(SitePublisherTest, SetCurrentMakesAPublishedVersionCurrentWithoutCopying) {
    SitePublisher publisher(site.Path());
    publisher.PublishFolder(source.Path(), info);
    info.versionId = "V2";
    Write("data/b", "new");
    publisher.PublishFolder(source.Path(), info);
    EXPECT_EQ(publisher.SetCurrent("K", "V1"), "V2");
    EXPECT_EQ(test::ReadFileText(site / "manifests/K/current.xml"),
              test::ReadFileText(site / "manifests/K/V1.xml"));
    auto before = Snapshot(site.Path());
    EXPECT_EQ(publisher.SetCurrent("K", "V1"), "V1");
    EXPECT_EQ(Snapshot(site.Path()), before);

    fs::remove(site / "packages/P/K/V2/data/b");
    test::WriteFileText(site / "packages/P/K/V1/data/b", "short");
    before = Snapshot(site.Path());
    struct Case {
        std::string version;
        std::string named;
    };
    const Case cases[] = {
        {"V3", "version V3 of package K is not published (no manifests/K/V3.xml)"},
        {"V2", "version V2 cannot become current: packages/P/K/V2/data/b is missing"},
        {"V1", "packages/P/K/V1/data/b has 5 bytes, its manifest says 10"},
        {"current", "reserved"},
        {"a/b", "version id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        try {
            publisher.SetCurrent("K", c.version);
            ADD_FAILURE() << "not refused";
        } catch (const PublishError& error) {
            EXPECT_THAT(error.what(), ::testing::HasSubstr(c.named));
        }
        EXPECT_EQ(Snapshot(site.Path()), before);
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
    // Sizes around the pieces the copies are read in (1 MiB) and the segments they are copied and checked in
    // (16 MiB; one of exactly that size ends with an empty segment), with chunks that do and do not divide
    // the file; copied by the kernel, and through the publisher's buffer where the kernel cannot copy.
    struct Case {
        std::size_t size;
        std::uint32_t chunkSize;
    };
    for (const bool kernelCopy : {true, false}) {
        SCOPED_TRACE(kernelCopy ? "copied by the kernel" : "copied through a buffer");
        kernelCopyFails = !kernelCopy;
        for (const Case c :
             {Case{1024 * 1024 + 3, 65536}, Case{8 * 1024 * 1024, 1024 * 1024},
              Case{16 * 1024 * 1024, 3 * 1024 * 1024}, Case{33 * 1024 * 1024 + 7, 1024 * 1024}}) {
            SCOPED_TRACE(c.size);
            test::ScratchFolder source;
            test::ScratchFolder site;
            std::string bytes(c.size, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = static_cast<char>(i * 7 + i / 4096);
            }
            test::WriteFileText(source / "f", bytes);
            test::WriteFileText(source / "g", "small");
            const std::string xml = SitePublisher(site.Path())
                                        .PublishFolder(source.Path(), {"P", "K", "1", "N", "", c.chunkSize});
            EXPECT_TRUE(test::ReadFileText(site / "packages/P/K/1/f") == bytes);
            const auto manifest = LoadPackageManifest(xml);
            const FileManifest& file = *manifest->GetFiles().at(0);
            const FileDigests digests = DigestFile(source / "f", true, c.chunkSize);
            EXPECT_EQ(file.GetSize(), c.size);
            EXPECT_NE(xml.find("<checksums>" + ChunkChecksums(source / "f", c.chunkSize) + "</checksums>"),
                      std::string::npos);
            EXPECT_EQ(file.GetSha256(), digests.sha256);
            std::string chunkDigests;
            for (const Sha256::Digest& digest : file.GetChunkSha256()) {
                chunkDigests += Sha256::ToHex(digest);
            }
            EXPECT_EQ(chunkDigests, digests.chunkSha256);
            EXPECT_EQ(test::ReadFileText(site / "packages/P/K/1/g"), "small");
        }
    }
    kernelCopyFails = false;
}

}  // namespace
}  // namespace halcyne::publish
