#include <stdexcept>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

    std::string sha256_;

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
        TransferMultipleChunksWork work(f.transfer, nullptr, FakeFileManifest(c.size, c.chunkSize), data);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks;
        for (const auto& chunk : work.Chunks()) {
            chunks.emplace_back(chunk->ChunkData()->lowerBound, chunk->ChunkData()->upperBound);
        }
        EXPECT_EQ(chunks, c.chunks) << c.size << "/" << c.chunkSize;
    }
    for (const auto& [size, chunkSize] : {std::pair<std::uint64_t, std::uint32_t>{0, 4}, {10, 0}}) {
        auto data = std::make_shared<TransferSharedFileData>("f", size);
        EXPECT_THROW(TransferMultipleChunksWork(f.transfer, nullptr, FakeFileManifest(size, chunkSize), data),
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

TEST(FileWorksTest, OpenAndAllocate) {
    Fixture f;
    boost::filesystem::create_directories(f.Dest(""));
    test::WriteFileText(f.Dest("same.dat"), "12345678");
    chmod(f.Dest("same.dat").c_str(), 0751);
    test::WriteFileText(f.Dest("other.dat"), "123");
    struct stat before {};
    ASSERT_EQ(stat(f.Dest("same.dat").c_str(), &before), 0);

    // The right length: kept, content, inode and mode untouched.
    std::shared_ptr<TransferSharedFileData> same;
    EXPECT_EQ(f.Open("same.dat", 8, &same).result, WorkResult::Success);
    EXPECT_NE(same->Target(), nullptr);
    struct stat after {};
    ASSERT_EQ(stat(f.Dest("same.dat").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(Mode(f.Dest("same.dat")), 0751u);
    EXPECT_EQ(test::ReadFileText(f.Dest("same.dat")), "12345678");

    // Another length: deleted once and created anew, allocated.
    EXPECT_EQ(f.Open("other.dat", 10).result, WorkResult::Success);
    EXPECT_EQ(test::ReadFileText(f.Dest("other.dat")), std::string(10, '\0'));

    // New files: a program is denied execution, other files are only allocated; folders are created.
    EXPECT_EQ(f.Open("bin/setup.exe", 5).result, WorkResult::Success);
    EXPECT_EQ(Mode(f.Dest("bin/setup.exe")) & 0111, 0u);
    EXPECT_EQ(f.Open("data.pak", 5).result, WorkResult::Success);
    EXPECT_EQ(test::ReadFileText(f.Dest("data.pak")), std::string(5, '\0'));

    std::vector<std::string> deletes;
    for (const std::string& call : f.files_.Calls()) {
        if (call.rfind("delete", 0) == 0) {
            deletes.push_back(call);
        }
    }
    EXPECT_EQ(deletes, std::vector<std::string>{"delete " + f.scratch / "dest" + " other.dat"});

    // A leading '/' stays inside the folder; a path that leads out is a bad path (not retryable).
    EXPECT_EQ(f.Open("/lead.dat", 3).result, WorkResult::Success);
    EXPECT_EQ(test::ReadFileText(f.Dest("lead.dat")).size(), 3u);
    const WorkStatus escape = f.Open("../escape.dat", 3);
    EXPECT_EQ(escape.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferStatusData>(escape.data)->ToTransferError(),
              TransferError::FileAccessError);
}

TEST(FileWorksTest, AFileOfAnotherLengthThatCannotBeDeletedIsRetryable) {
    Fixture f;
    boost::filesystem::create_directories(f.Dest(""));
    struct NoDelete : test::RecordingFileFactory {
        bool Delete(const std::string&, const std::string&) override { return false; }
    } noDelete;
    test::WriteFileText(f.Dest("short.dat"), "1");
    EngineSettings settings;
    test::PipelineServices services(settings, &noDelete);
    auto transfer = std::make_shared<test::HarnessTransfer>(services.Behavior(), f.transfer->GetParams());
    const WorkStatus status = std::make_shared<OpenAndAllocateFileWork>(
                                  transfer, std::make_shared<TransferSharedFileData>("short.dat", 4))
                                  ->ExecuteTask();
    EXPECT_EQ(status.result, WorkResult::RetryableError);
    const auto data = std::dynamic_pointer_cast<TransferFileExceptionData>(status.data);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ToTransferError(), TransferError::FileAccessError);
    EXPECT_EQ(test::ReadFileText(f.Dest("short.dat")), "1");
}

TEST(FileWorksTest, AllowExecute) {
    Fixture f({{"bin/setup.exe", "MZ..", ""}, {"start", "#!..", ""}, {"data.pak", "dddd", ""}}, "start");
    boost::filesystem::create_directories(f.Dest("bin"));
    for (const char* name : {"bin/setup.exe", "start", "data.pak"}) {
        test::WriteFileText(f.Dest(name), "....");
        chmod(f.Dest(name).c_str(), 0640);
    }
    EXPECT_EQ(std::make_shared<AllowExecuteWork>(f.transfer)->ExecuteTask().result, WorkResult::Success);
    EXPECT_EQ(Mode(f.Dest("bin/setup.exe")), 0750u);
    EXPECT_EQ(Mode(f.Dest("start")), 0750u);  // the run file, whatever its name
    EXPECT_EQ(Mode(f.Dest("data.pak")), 0640u);

    // An executable deleted by someone else: a bad path, not retryable.
    std::remove(f.Dest("bin/setup.exe").c_str());
    const WorkStatus deleted = std::make_shared<AllowExecuteWork>(f.transfer)->ExecuteTask();
    EXPECT_EQ(deleted.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferStatusData>(deleted.data)->ToTransferError(),
              TransferError::FileAccessError);

    // No package: an internal error without an exception.
    f.transfer->SetPackage(nullptr);
    const WorkStatus none = std::make_shared<AllowExecuteWork>(f.transfer)->ExecuteTask();
    EXPECT_EQ(none.result, WorkResult::Error);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferErrorData>(none.data)->ToErrorString(),
              "error|9|AllowExecuteWork::ExecuteTask has no package");
}

// Digests of the test vectors of FIPS 180-2: "abc" and one million 'a'.
const std::string AbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string MillionASha256 = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

TEST(FileWorksTest, TheHashCheckStandsBetweenTheChunksAndTheClosingOnlyWhenTheFileHasADigest) {
    Fixture f;
    for (const std::string& digest : {std::string(), AbcSha256}) {
        auto file = std::make_shared<FakeFileManifest>(10, 4);
        file->sha256_ = digest;
        TransferSingleFileWork work(f.transfer, nullptr, file);
        std::vector<std::string> names;
        for (const auto& child : work.Children()) {
            boost::property_tree::ptree tree;
            child->Describe(tree);
            names.push_back(tree.get<std::string>("name"));
            if (names.back() == "VerifyFileHashWork") {
                EXPECT_EQ(tree.get<std::string>("sha256"), digest);
                EXPECT_EQ(tree.get<std::string>("important"), "true");
                EXPECT_EQ(tree.get<std::string>("filePath"), "f");
            }
        }
        std::vector<std::string> expected = {"OpenAndAllocateFileWork", "TransferMultipleChunksWork",
                                             "CloseFileWork"};
        if (!digest.empty()) {
            expected.insert(expected.begin() + 2, "VerifyFileHashWork");
        }
        EXPECT_EQ(names, expected);
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
