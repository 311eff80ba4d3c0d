#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "manifest/NodeListManifest.hpp"
#include "pipeline/ChunkWorks.hpp"
#include "pipeline/FileWorks.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/SetupWorks.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "support/PipelineHarness.hpp"
#include "support/RecordingFileFactory.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

class FakeFileManifest : public FileManifest {
public:
    FakeFileManifest(std::uint64_t size, std::uint32_t chunkSize)
        : size_(size), chunkSize_(chunkSize), checksums_(ChunkCount(chunkSize, size), 0) {}
    void Load(const boost::property_tree::ptree&) override {}
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetChunkSize() const override { return chunkSize_; }
    std::uint64_t GetSize() const override { return size_; }
    const std::vector<std::uint32_t>& GetChecksums() const override { return checksums_; }
    const std::string& GetSha256() const override { return sha256_; }
    const std::vector<Sha256::Digest>& GetChunkSha256() const override { return chunkSha256_; }

    std::string sha256_;
    std::vector<Sha256::Digest> chunkSha256_;

private:
    std::string path_ = "f";
    std::uint64_t size_;
    std::uint32_t chunkSize_;
    std::vector<std::uint32_t> checksums_;
};

// A transfer over the real file factory (recorded), with a package of the given files.
struct Fixture {
    explicit Fixture(std::vector<test::SiteFile> files = {{"a.pak", "aaaa", ""}}, std::string run = "") {
        test::SiteWriter site(scratch / "site");
        test::SitePackage package;
        package.chunkSize = 4;
        package.run = run;
        package.files = std::move(files);
        EngineSettings settings;
        settings.workerThreads = 2;
        services = std::make_unique<test::PipelineServices>(settings, &files_);
        TransferParams params;
        params.partnerId = "P";
        params.packageId = "K";
        params.versionId = "V";
        params.destPath = scratch / "dest";
        transfer = std::make_shared<test::HarnessTransfer>(services->Behavior(), params);
        transfer->SetPackage(test::LoadPackageXml(site.PublishPackage(package)));
        transfer->SetNodeList(
            test::LoadNodeListXml(test::SiteWriter::NodeListXml({{"n0", "127.0.0.1:9", "/packages/", 1}})));
    }
    std::string Dest(const std::string& name) const { return scratch / ("dest/" + name); }
    WorkStatus Open(const std::string& name, std::uint64_t size,
                    std::shared_ptr<TransferSharedFileData>* out = nullptr) {
        auto data = std::make_shared<TransferSharedFileData>(name, size);
        if (out != nullptr) {
            *out = data;
        }
        return std::make_shared<OpenAndAllocateFileWork>(transfer, data)->ExecuteTask();
    }

    test::ScratchFolder scratch;
    test::RecordingFileFactory files_;
    std::unique_ptr<test::PipelineServices> services;
    std::shared_ptr<test::HarnessTransfer> transfer;
};

mode_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(FileWorksTest, ChunkLayout) {
    struct Case {
        std::uint64_t size;
        std::uint32_t chunkSize;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks;
    };
    const Case cases[] = {
        {10, 4, {{0, 3}, {4, 7}, {8, 9}}},
        {8, 4, {{0, 3}, {4, 7}}},
        {4096, 4096, {{0, 4095}}},
        {100, 4096, {{0, 99}}},
        {1, 1024, {{0, 0}}},
        {10000, 4099, {{0, 4098}, {4099, 8197}, {8198, 9999}}},
    };
    Fixture f;
    for (const Case& c : cases) {
        auto data = std::make_shared<TransferSharedFileData>("f", c.size);
        TransferMultipleChunksWork work(f.transfer, nullptr,
                                        std::make_shared<FakeFileManifest>(c.size, c.chunkSize), data);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks;
        for (std::size_t i = 0; i < work.Count(); ++i) {
            chunks.push_back(work.ChunkRange(i));
        }
        EXPECT_EQ(chunks, c.chunks) << c.size << "/" << c.chunkSize;
    }
    for (const auto& [size, chunkSize] : {std::pair<std::uint64_t, std::uint32_t>{0, 4}, {10, 0}}) {
        auto data = std::make_shared<TransferSharedFileData>("f", size);
        EXPECT_THROW(TransferMultipleChunksWork(f.transfer, nullptr,
                                                std::make_shared<FakeFileManifest>(size, chunkSize), data),
                     std::logic_error);
    }
}

TEST(FileWorksTest, TreeBuilders) {
    struct Case {
        std::vector<test::SiteFile> files;
        std::string run;
        std::vector<std::string> groups;
    };
    const Case cases[] = {
        {{{"run.sh", "r", ""}}, "run.sh", {"SequentialTransferMultipleFilesWork"}},
        {{{"a", "a", ""}, {"b", "b", ""}}, "", {"ParallelTransferMultipleFilesWork"}},
        {{{"a", "a", ""}, {"run.sh", "r", ""}},
         "run.sh",
         {"SequentialTransferMultipleFilesWork", "ParallelTransferMultipleFilesWork"}},
    };
    for (const Case& c : cases) {
        Fixture f(c.files, c.run);
        auto work = std::make_shared<TransferMultipleFilesWork>(f.transfer, nullptr);
        std::vector<std::string> names;
        for (const auto& child : work->Children()) {
            boost::property_tree::ptree tree;
            child->Describe(tree);
            names.push_back(tree.get<std::string>("name"));
            EXPECT_EQ(tree.get<std::string>("important"), "true");
        }
        EXPECT_EQ(names, c.groups);
    }
    Fixture empty;
    empty.transfer->SetPackage(nullptr);
    try {
        TransferMultipleFilesWork(empty.transfer, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "TransferMultipleFilesWork constructed with empty file set");
    }
    EXPECT_THROW(SequentialTransferMultipleFilesWork(empty.transfer, nullptr, {}), std::logic_error);
    EXPECT_THROW(ParallelTransferMultipleFilesWork(empty.transfer, nullptr, {}), std::logic_error);
}

TEST(FileWorksTest, DescriptionsNameTheWorkAndMarkTheImportantOnes) {
    Fixture f({{"a.pak", "aaaaaa", ""}});
    auto fileData = std::make_shared<TransferSharedFileData>("a.pak", 6);
    auto chunk = std::make_shared<TransferSharedMapData>(fileData, 0, 3, 0x1a2b3c, f.transfer);
    auto deferred = MakeDeferredWork();
    struct Case {
        std::shared_ptr<Work> work;
        std::string name;
        bool important;
        const char* extraKey;  // a key of the file or chunk data, or null
    };
    const Case cases[] = {
        {std::make_shared<TransferPackageWork>(f.transfer), "TransferPackageWork", true, nullptr},
        {std::make_shared<InitializeTransferWork>(f.transfer, nullptr, deferred), "InitializeTransferWork",
         false, nullptr},
        {std::make_shared<AllowExecuteWork>(f.transfer), "AllowExecuteWork", true, nullptr},
        {std::make_shared<RemoveStagedFilesWork>(f.transfer), "RemoveStagedFilesWork", false, nullptr},
        {std::make_shared<GetManifestsWork>(f.transfer, nullptr), "GetManifestsWork", false, nullptr},
        {std::make_shared<GetPackageManifestWork>(f.transfer, nullptr), "GetPackageManifestWork", true,
         nullptr},
        {std::make_shared<GetNodeListWork>(f.transfer, nullptr), "GetNodeListWork", true, nullptr},
        {std::make_shared<ConstructTransferFromPackageWork>(f.transfer, nullptr, deferred),
         "ConstructTransferFromPackageWork", false, nullptr},
        {std::make_shared<TransferMultipleFilesWork>(f.transfer, nullptr), "TransferMultipleFilesWork", false,
         nullptr},
        {std::make_shared<TransferSingleFileWork>(f.transfer, nullptr,
                                                  f.transfer->GetPackage()->GetFiles()[0]),
         "TransferSingleFileWork", true, "filePath"},
        {std::make_shared<OpenAndAllocateFileWork>(f.transfer, fileData), "OpenAndAllocateFileWork", true,
         "fileSize"},
        {std::make_shared<CloseFileWork>(f.transfer, fileData), "CloseFileWork", false, "filePath"},
        {std::make_shared<TransferSingleChunkWork>(f.transfer, nullptr, fileData, 0, 3, 0x1a2b3c),
         "TransferSingleChunkWork", false, "expectedChecksum"},
        {std::make_shared<CreateChunkMapWork>(f.transfer, chunk), "CreateChunkMapWork", false, "lowerBound"},
        {std::make_shared<MutexPrefetchChunkWork>(f.transfer, chunk), "MutexPrefetchChunkWork", false,
         "upperBound"},
        {std::make_shared<ConditionalTransferChunkWork>(f.transfer, nullptr, chunk),
         "ConditionalTransferChunkWork", false, "fileProgressBytes"},
        {std::make_shared<VerifyChunkWork>(f.transfer, chunk), "VerifyChunkWork", false, "expectedChecksum"},
        {std::make_shared<RetryableTransferChunkWork>(f.transfer, nullptr, chunk, 4),
         "RetryableTransferChunkWork", false, "expectedChecksum"},
        {std::make_shared<ReleaseChunkMapWork>(f.transfer, chunk), "ReleaseChunkMapWork", false,
         "expectedChecksum"},
    };
    for (const Case& c : cases) {
        boost::property_tree::ptree tree;
        c.work->Describe(tree);
        EXPECT_EQ(tree.begin()->first, "name");
        EXPECT_EQ(tree.get<std::string>("name"), c.name);
        EXPECT_EQ(tree.get_optional<std::string>("important").value_or("false"),
                  c.important ? "true" : "false")
            << c.name;
        // A work that states its importance without describing itself must state the description's.
        EXPECT_EQ(c.work->KnownImportance().value_or(c.important), c.important) << c.name;
        EXPECT_EQ(tree.get<std::string>("transferId"), "?") << c.name;
        EXPECT_EQ(tree.get<std::string>("destPath"), f.scratch / "dest") << c.name;
        if (c.extraKey != nullptr) {
            EXPECT_TRUE(tree.get_optional<std::string>(c.extraKey).has_value())
                << c.name << " " << c.extraKey;
        }
    }
    boost::property_tree::ptree chunkTree;
    VerifyChunkWork(f.transfer, chunk).Describe(chunkTree);
    EXPECT_EQ(chunkTree.get<std::string>("expectedChecksum"), "1a2b3c");
}

struct FileState {
    bool exists = false;
    std::string content;
    ino_t inode = 0;
    mode_t mode = 0;
    nlink_t links = 0;
};

FileState StateOf(const std::string& path) {
    FileState state;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return state;
    }
    state.exists = true;
    state.content = test::ReadFileText(path);
    state.inode = info.st_ino;
    state.mode = info.st_mode & 07777;
    state.links = info.st_nlink;
    return state;
}

bool operator==(const FileState& a, const FileState& b) {
    return a.exists == b.exists && a.content == b.content && a.inode == b.inode && a.mode == b.mode &&
           a.links == b.links;
}

TEST(FileWorksTest, OpeningVerifiesInPlaceOrBuildsTheSiblingAndNeverChangesTheFile) {
    const std::uint64_t terabyte = std::uint64_t{1} << 40;
    struct Case {
        const char* label;
        std::string name;
        std::uint64_t size;
        bool executable;
        std::optional<std::string> present;   // the file under the name before
        bool hardLinked;                      // ... with a second name
        std::optional<std::string> leftover;  // a sibling left by an earlier run
        WorkResult result;
        bool inPlace;                        // the chunks are verified in the file under the name
        std::optional<std::string> sibling;  // the sibling afterwards
    };
    const std::string zeros10(10, '\0');
    const Case cases[] = {
        {"the right length", "same.dat", 8, false, "12345678", false, {}, WorkResult::Success, true, {}},
        {"another length", "other.dat", 10, false, "123", false, {}, WorkResult::Success, false, zeros10},
        {"missing", "data.pak", 5, false, {}, false, {}, WorkResult::Success, false, std::string(5, '\0')},
        {"two names",
         "linked.dat",
         8,
         false,
         "12345678",
         true,
         {},
         WorkResult::Success,
         false,
         std::string(8, '\0')},
        {"a sibling of the right length is resumed", "grow.dat", 10, false, "123", false, "abcdefghij",
         WorkResult::Success, false, "abcdefghij"},
        {"a sibling of another length is replaced",
         "new.dat",
         10,
         false,
         {},
         false,
         "abc",
         WorkResult::Success,
         false,
         zeros10},
        {"a sibling beside a file of the right length waits", "both.dat", 8, false, "12345678", false,
         "abcdefgh", WorkResult::Success, true, "abcdefgh"},
        {"a program's sibling is denied execution",
         "bin/setup.exe",
         4,
         true,
         {},
         false,
         "MZ..",
         WorkResult::Success,
         false,
         "MZ.."},
        {"2^40 bytes",
         "huge.dat",
         terabyte,
         false,
         "12345678",
         false,
         {},
         WorkResult::RetryableError,
         false,
         {}},
        {"a leading '/'",
         "/lead.dat",
         3,
         false,
         {},
         false,
         {},
         WorkResult::Success,
         false,
         std::string(3, '\0')},
        {"a path out of the folder", "../escape.dat", 3, false, {}, false, {}, WorkResult::Error, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        const std::string relative = c.name.substr(c.name.find_first_not_of('/'));
        const std::string path = f.Dest(relative);
        const std::string staged = path + ".halcyne-part";
        boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
        if (c.present) {
            test::WriteFileText(path, *c.present);
            chmod(path.c_str(), 0751);
            if (c.hardLinked) {
                ASSERT_EQ(::link(path.c_str(), (path + ".other").c_str()), 0);
            }
        }
        if (c.leftover) {
            test::WriteFileText(staged, *c.leftover);
            chmod(staged.c_str(), 0755);
        }
        const FileState before = StateOf(path);

        auto data = std::make_shared<TransferSharedFileData>(c.name, c.size, c.executable);
        const WorkStatus status = std::make_shared<OpenAndAllocateFileWork>(f.transfer, data)->ExecuteTask();
        ASSERT_EQ(status.result, c.result);
        EXPECT_EQ(StateOf(path), before);  // the file under the name is never touched here
        if (c.result != WorkResult::Success) {
            const auto error = std::dynamic_pointer_cast<TransferStatusData>(status.data)->ToTransferError();
            EXPECT_EQ(error,
                      c.size == terabyte ? TransferError::InsufficientSpace : TransferError::FileAccessError);
            EXPECT_EQ(data->Target(), nullptr);
            EXPECT_FALSE(boost::filesystem::exists(staged));
            continue;
        }
        ASSERT_NE(data->Target(), nullptr);
        EXPECT_EQ(data->IsStaged(), !c.inPlace);
        EXPECT_EQ(data->Target()->Identity().inode, c.inPlace ? before.inode : StateOf(staged).inode);
        EXPECT_EQ(StateOf(staged).exists, c.sibling.has_value());
        if (c.sibling) {
            EXPECT_EQ(test::ReadFileText(staged), *c.sibling);
            if (c.executable) {
                EXPECT_EQ(StateOf(staged).mode & 0111, 0u);
            }
        }
    }
}

TEST(FileWorksTest, ClosingRenamesTheSiblingOverTheNameOnceAndDropsAStaleOne) {
    Fixture f;
    boost::filesystem::create_directories(f.Dest(""));
    // Staged: the old file stays under its name until the closing.
    test::WriteFileText(f.Dest("a.dat"), "old");
    test::WriteFileText(f.Dest("a.dat.halcyne-part"), "new!");
    std::shared_ptr<TransferSharedFileData> staged;
    ASSERT_EQ(f.Open("a.dat", 4, &staged).result, WorkResult::Success);
    EXPECT_EQ(test::ReadFileText(f.Dest("a.dat")), "old");
    const ino_t built = StateOf(f.Dest("a.dat.halcyne-part")).inode;
    auto close = std::make_shared<CloseFileWork>(f.transfer, staged);
    EXPECT_EQ(close->ExecuteTask().result, WorkResult::Success);
    EXPECT_EQ(StateOf(f.Dest("a.dat")).inode, built);
    EXPECT_EQ(test::ReadFileText(f.Dest("a.dat")), "new!");
    EXPECT_FALSE(boost::filesystem::exists(f.Dest("a.dat.halcyne-part")));
    EXPECT_EQ(staged->Target(), nullptr);
    EXPECT_EQ(close->ExecuteTask().result, WorkResult::Success);  // once is enough
    EXPECT_EQ(test::ReadFileText(f.Dest("a.dat")), "new!");

    // In place with a sibling left beside it: the file is complete as it is, the sibling goes.
    test::WriteFileText(f.Dest("b.dat"), "same");
    test::WriteFileText(f.Dest("b.dat.halcyne-part"), "part");
    const FileState before = StateOf(f.Dest("b.dat"));
    std::shared_ptr<TransferSharedFileData> inPlace;
    ASSERT_EQ(f.Open("b.dat", 4, &inPlace).result, WorkResult::Success);
    EXPECT_EQ(std::make_shared<CloseFileWork>(f.transfer, inPlace)->ExecuteTask().result,
              WorkResult::Success);
    EXPECT_EQ(StateOf(f.Dest("b.dat")), before);
    EXPECT_FALSE(boost::filesystem::exists(f.Dest("b.dat.halcyne-part")));

    // The name is never deleted; the only rename is the sibling's.
    for (const std::string& call : f.files_.Calls()) {
        if (call.rfind("delete", 0) == 0 || call.rfind("rename", 0) == 0) {
            EXPECT_NE(call.find(".halcyne-part"), std::string::npos) << call;
        }
    }
}

// Each file of the fixture's package opened and closed the way its file works do (its chunks are on disk);
// the works hold their file data as the tree does.
struct VerifiedFiles {
    explicit VerifiedFiles(Fixture& f) {
        for (const auto& file : f.transfer->GetPackage()->GetFiles()) {
            works.push_back(std::make_shared<TransferSingleFileWork>(f.transfer, nullptr, file, set));
            const auto& data = works.back()->FileData();
            EXPECT_EQ(std::make_shared<OpenAndAllocateFileWork>(f.transfer, data)->ExecuteTask().result,
                      WorkResult::Success);
            EXPECT_EQ(std::make_shared<CloseFileWork>(f.transfer, data)->ExecuteTask().result,
                      WorkResult::Success);
        }
    }
    std::shared_ptr<TransferFileSet> set = std::make_shared<TransferFileSet>();
    std::vector<std::shared_ptr<TransferSingleFileWork>> works;
};

TEST(FileWorksTest, AllowExecuteGrantsExecutionToTheVerifiedFilesOnly) {
    Fixture f({{"bin/setup.exe", "MZ..", ""}, {"start", "#!..", ""}, {"data.pak", "dddd", ""}}, "start");
    boost::filesystem::create_directories(f.Dest("bin"));
    for (const char* name : {"bin/setup.exe", "start", "data.pak"}) {
        test::WriteFileText(f.Dest(name), "....");
        chmod(f.Dest(name).c_str(), 0640);
    }
    const VerifiedFiles verified(f);
    const auto& files = verified.set;
    // After verification someone puts another file under the run file's name.
    ASSERT_EQ(std::rename(f.Dest("start").c_str(), f.Dest("start.verified").c_str()), 0);
    test::WriteFileText(f.Dest("start"), "#!/bin/sh\necho swapped\n");
    chmod(f.Dest("start").c_str(), 0640);

    EXPECT_EQ(std::make_shared<AllowExecuteWork>(f.transfer, files)->ExecuteTask().result,
              WorkResult::Success);
    EXPECT_EQ(Mode(f.Dest("bin/setup.exe")), 0750u);
    EXPECT_EQ(Mode(f.Dest("start.verified")), 0750u);  // the run file, whatever its name, as verified
    EXPECT_EQ(Mode(f.Dest("start")), 0640u);           // the swapped-in file is not touched
    EXPECT_EQ(Mode(f.Dest("data.pak")), 0640u);
    const auto runFile = f.transfer->RunFile();
    ASSERT_TRUE(runFile.has_value());
    EXPECT_EQ(runFile->inode, StateOf(f.Dest("start.verified")).inode);
    // The files are let go of once execution is granted.
    for (const auto& data : files->Files()) {
        EXPECT_EQ(data->VerifiedFile(), nullptr) << data->filePath;
    }

    // An executable without a verified file, and no package: internal errors without an exception.
    const WorkStatus unverified = std::make_shared<AllowExecuteWork>(f.transfer)->ExecuteTask();
    EXPECT_EQ(unverified.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferErrorData>(unverified.data)->ToErrorString(),
              "error|9|AllowExecuteWork::ExecuteTask has no verified file for bin/setup.exe");
    f.transfer->SetPackage(nullptr);
    const WorkStatus none = std::make_shared<AllowExecuteWork>(f.transfer)->ExecuteTask();
    EXPECT_EQ(none.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferErrorData>(none.data)->ToErrorString(),
              "error|9|AllowExecuteWork::ExecuteTask has no package");
}

TEST(FileWorksTest, AllowExecuteWithoutExecutablesTouchesNothing) {
    Fixture f({{"data.pak", "dddd", ""}});
    boost::filesystem::create_directories(f.Dest(""));
    test::WriteFileText(f.Dest("data.pak"), "dddd");
    chmod(f.Dest("data.pak").c_str(), 0640);
    const VerifiedFiles verified(f);
    EXPECT_EQ(std::make_shared<AllowExecuteWork>(f.transfer, verified.set)->ExecuteTask().result,
              WorkResult::Success);
    EXPECT_EQ(Mode(f.Dest("data.pak")), 0640u);
    EXPECT_FALSE(f.transfer->RunFile().has_value());
}

TEST(FileWorksTest, SiblingsLeftInThePackagesFoldersAreRemovedUnlessInUse) {
    Fixture f({{"data/a.pak", "aaaa", ""}, {"root.txt", "rrrr", ""}});
    const std::vector<std::string> removed = {"data/a.pak.halcyne-part", "data/gone.bin.halcyne-part",
                                              "old.txt.halcyne-part"};
    const std::vector<std::string> kept = {"data/busy.bin.halcyne-part", "data/sub/deep.bin.halcyne-part",
                                           "other/x.bin.halcyne-part", "data/notes.txt", "data/a.pak"};
    for (const auto& list : {removed, kept}) {
        for (const std::string& name : list) {
            boost::filesystem::create_directories(boost::filesystem::path(f.Dest(name)).parent_path());
            test::WriteFileText(f.Dest(name), "x");
        }
    }
    // A transfer of this process is building data/busy.bin meanwhile.
    auto busy = std::make_shared<TransferSharedFileData>("data/busy.bin", 1);
    ASSERT_EQ(std::make_shared<OpenAndAllocateFileWork>(f.transfer, busy)->ExecuteTask().result,
              WorkResult::Success);

    const auto work = std::make_shared<RemoveStagedFilesWork>(f.transfer);
    EXPECT_EQ(work->ExecuteTask().result, WorkResult::Success);
    for (const std::string& name : removed) {
        EXPECT_FALSE(boost::filesystem::exists(f.Dest(name))) << name;
    }
    for (const std::string& name : kept) {
        EXPECT_TRUE(boost::filesystem::exists(f.Dest(name))) << name;
    }
    // Once let go of, it is stale too.
    busy->Release();
    EXPECT_EQ(work->ExecuteTask().result, WorkResult::Success);
    EXPECT_FALSE(boost::filesystem::exists(f.Dest("data/busy.bin.halcyne-part")));
}

// Digests of the test vectors of FIPS 180-2: "abc" and one million 'a'.
const std::string AbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string MillionASha256 = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

// Without chunk digests the chunk set and the hash check run in a FileContentWork, which runs them again
// when the check begins fetching the file again.
TEST(FileWorksTest, TheHashCheckStandsBetweenTheChunksAndTheClosingOnlyWhenTheFileHasADigest) {
    Fixture f;
    struct Case {
        std::string digest;
        bool chunkDigests;
        std::vector<std::string> expected;  // the names of the works, those inside FileContentWork indented
    };
    const Case cases[] = {
        {"", false, {"OpenAndAllocateFileWork", "TransferMultipleChunksWork", "CloseFileWork"}},
        {AbcSha256,
         true,
         {"OpenAndAllocateFileWork", "TransferMultipleChunksWork", "VerifyFileHashWork", "CloseFileWork"}},
        {AbcSha256,
         false,
         {"OpenAndAllocateFileWork", "FileContentWork", " TransferMultipleChunksWork", " VerifyFileHashWork",
          "CloseFileWork"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest + (c.chunkDigests ? " with chunk digests" : ""));
        auto file = std::make_shared<FakeFileManifest>(10, 4);
        file->sha256_ = c.digest;
        file->chunkSha256_.assign(c.chunkDigests ? 3 : 0, Sha256::Digest{});
        TransferSingleFileWork work(f.transfer, nullptr, file);
        std::vector<std::string> names;
        const std::function<void(const std::vector<std::shared_ptr<Work>>&, const std::string&)> describe =
            [&](const std::vector<std::shared_ptr<Work>>& children, const std::string& indent) {
                for (const auto& child : children) {
                    boost::property_tree::ptree tree;
                    child->Describe(tree);
                    names.push_back(indent + tree.get<std::string>("name"));
                    if (tree.get<std::string>("name") == "VerifyFileHashWork") {
                        EXPECT_EQ(tree.get<std::string>("sha256"), c.digest);
                        EXPECT_EQ(tree.get<std::string>("important"), "true");
                        EXPECT_EQ(tree.get<std::string>("filePath"), "f");
                    }
                    if (const auto content = std::dynamic_pointer_cast<FileContentWork>(child)) {
                        describe(content->Children(), indent + " ");
                    }
                }
            };
        describe(work.Children(), "");
        EXPECT_EQ(names, c.expected);
    }
}

TEST(FileWorksTest, HashCheckOverBlocksOfEverySize) {
    const std::string million(1000000, 'a');
    std::string lastChanged = million;
    lastChanged.back() = 'b';
    std::string firstChanged = million;
    firstChanged.front() = 'b';
    struct Case {
        const char* label;
        std::string content;
        std::string expected;
        std::uint64_t blockSize;
        bool matches;
    };
    const Case cases[] = {
        {"three bytes, one block", "abc", AbcSha256, VerifyFileHashWork::BlockSize, true},
        {"pages and a partial last block", million, MillionASha256, 4096, true},
        {"unaligned blocks, the last one full", million, MillionASha256, 1000, true},
        {"one block of exactly the file", million, MillionASha256, 1000000, true},
        {"a last block of one byte", million, MillionASha256, 999999, true},
        {"the last byte differs", lastChanged, MillionASha256, 4096, false},
        {"the first byte differs", firstChanged, MillionASha256, 1000, false},
        {"another file's digest", "abc", MillionASha256, 4096, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Fixture f;
        boost::filesystem::create_directories(f.Dest("bin"));
        test::WriteFileText(f.Dest("bin/game.exe"), c.content);
        std::shared_ptr<TransferSharedFileData> data;
        ASSERT_EQ(f.Open("bin/game.exe", c.content.size(), &data).result, WorkResult::Success);
        const WorkStatus status =
            std::make_shared<VerifyFileHashWork>(f.transfer, data, c.expected, c.blockSize)->ExecuteTask();
        if (c.matches) {
            EXPECT_EQ(status.result, WorkResult::Success);
            EXPECT_NE(data->Target(), nullptr);  // the closing work lets go of it
            EXPECT_EQ(test::ReadFileText(f.Dest("bin/game.exe")), c.content);
            continue;
        }
        ASSERT_EQ(status.result, WorkResult::Error);
        const auto error = std::dynamic_pointer_cast<TransferErrorData>(status.data);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->ToTransferError(), TransferError::ChecksumMismatch);
        EXPECT_EQ(error->ToErrorString().rfind("error|6|bin/game.exe: SHA-256 ", 0), 0u)
            << error->ToErrorString();
        EXPECT_NE(error->ToErrorString().find(c.expected + "; the file was deleted"), std::string::npos);
        EXPECT_EQ(data->Target(), nullptr);
        EXPECT_FALSE(boost::filesystem::exists(f.Dest("bin/game.exe")));
    }
}

TEST(FileWorksTest, AFileRefusedByItsHashThatCannotBeDeletedLosesItsExecutePermission) {
    Fixture f;
    struct NoDelete : test::RecordingFileFactory {
        bool Delete(const std::string&, const std::string&) override { return false; }
    } noDelete;
    EngineSettings settings;
    test::PipelineServices services(settings, &noDelete);
    auto transfer = std::make_shared<test::HarnessTransfer>(services.Behavior(), f.transfer->GetParams());
    boost::filesystem::create_directories(f.Dest(""));
    test::WriteFileText(f.Dest("run.sh"), "abd");
    chmod(f.Dest("run.sh").c_str(), 0755);  // executable since an earlier run
    auto data = std::make_shared<TransferSharedFileData>("run.sh", 3);
    ASSERT_EQ(std::make_shared<OpenAndAllocateFileWork>(transfer, data)->ExecuteTask().result,
              WorkResult::Success);
    const WorkStatus status = std::make_shared<VerifyFileHashWork>(transfer, data, AbcSha256)->ExecuteTask();
    ASSERT_EQ(status.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferStatusData>(status.data)->ToTransferError(),
              TransferError::ChecksumMismatch);
    EXPECT_NE(status.data->ToErrorString().find("; the file could not be deleted"), std::string::npos);
    EXPECT_EQ(Mode(f.Dest("run.sh")) & 0111, 0u);
}

TEST(FileWorksTest, AStagedFileRefusedByItsHashLeavesTheFileUnderItsName) {
    Fixture f;
    boost::filesystem::create_directories(f.Dest(""));
    test::WriteFileText(f.Dest("run.sh"), "ab");
    chmod(f.Dest("run.sh").c_str(), 0755);
    test::WriteFileText(f.Dest("run.sh.halcyne-part"), "abd");
    const FileState before = StateOf(f.Dest("run.sh"));
    std::shared_ptr<TransferSharedFileData> data;
    ASSERT_EQ(f.Open("run.sh", 3, &data).result, WorkResult::Success);
    ASSERT_TRUE(data->IsStaged());
    const WorkStatus status =
        std::make_shared<VerifyFileHashWork>(f.transfer, data, AbcSha256)->ExecuteTask();
    ASSERT_EQ(status.result, WorkResult::Error);
    EXPECT_NE(status.data->ToErrorString().find("; the new file was deleted and the old one left as it was"),
              std::string::npos)
        << status.data->ToErrorString();
    EXPECT_FALSE(boost::filesystem::exists(f.Dest("run.sh.halcyne-part")));
    EXPECT_EQ(StateOf(f.Dest("run.sh")), before);
    EXPECT_EQ(data->Target(), nullptr);
}

TEST(FileWorksTest, HashCheckWithoutAFileOrAfterAnInterruption) {
    Fixture f;
    auto closed = std::make_shared<TransferSharedFileData>("a.pak", 3);
    const WorkStatus none =
        std::make_shared<VerifyFileHashWork>(f.transfer, closed, AbcSha256)->ExecuteTask();
    EXPECT_EQ(none.result, WorkResult::Error);
    EXPECT_EQ(none.data->ToErrorString(), "error|9|VerifyFileHashWork::ExecuteTask has no shared file");

    boost::filesystem::create_directories(f.Dest(""));
    test::WriteFileText(f.Dest("a.pak"), "abd");
    std::shared_ptr<TransferSharedFileData> data;
    ASSERT_EQ(f.Open("a.pak", 3, &data).result, WorkResult::Success);
    auto work = std::make_shared<VerifyFileHashWork>(f.transfer, data, AbcSha256);
    work->SetInterrupted();
    EXPECT_EQ(work->ExecuteTask().result, WorkResult::Interrupted);
    EXPECT_EQ(test::ReadFileText(f.Dest("a.pak")), "abd");  // not judged, so not deleted
}

TEST(FileWorksTest, ConstructingTwiceIntoOneDeferredWorkFailsTheSecondTime) {
    Fixture f;
    auto deferred = MakeDeferredWork();
    auto construct = std::make_shared<ConstructTransferFromPackageWork>(f.transfer, nullptr, deferred);
    EXPECT_EQ(construct->ExecuteTask().result, WorkResult::Success);
    const WorkStatus second = construct->ExecuteTask();
    EXPECT_EQ(second.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferErrorData>(second.data)->ToErrorString(),
              "error|9|ConstructTransferFromPackageWork::ExecuteTask failed; DeferredWork already assigned");
    // The refused tree never reached a file, so it reports none.
    EXPECT_TRUE(f.transfer->CreatedFiles().empty());
}

}  // namespace
}  // namespace halcyne
