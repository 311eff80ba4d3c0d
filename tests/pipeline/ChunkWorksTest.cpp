#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/SharedFile.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/PackageManifest.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "pipeline/ChecksumStatusData.hpp"
#include "pipeline/ChunkWorks.hpp"
#include "pipeline/Crc32.hpp"
#include "pipeline/FileWorks.hpp"
#include "pipeline/OptimizedRequestChunkWork.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "support/PipelineHarness.hpp"
#include "support/ScriptedNodes.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
// The forgery the test nodes serve.
#include "../../tools/delivery/Crc32Forgery.hpp"

namespace halcyne {
namespace {

using test::ScriptedNodes;

std::string Pattern(std::size_t size, unsigned seed) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    }
    return text;
}

std::string NodeHost(int index) {
    return "n" + std::to_string(index) + ":8080";
}

// One package of one file served by scripted nodes, and a transfer that runs its file tree.
class ChunkTree {
public:
    // `hashChunks`: the manifest gives each chunk's SHA-256; `maxRunning`: the works that run at once.
    ChunkTree(std::string content, std::uint32_t chunkSize, int nodeCount,
              EngineSettings settings = EngineSettings(), bool hashChunks = true, int maxRunning = 4)
        : content_(std::move(content)) {
        test::SiteWriter site(scratch_ / "site");
        test::SitePackage package;
        package.chunkSize = chunkSize;
        package.hashChunks = hashChunks;
        package.files = {{"data/file.bin", content_, ""}};
        package_ = test::LoadPackageXml(site.PublishPackage(package));
        std::vector<test::SiteNode> nodes;
        for (int i = 0; i < nodeCount; ++i) {
            nodes.push_back({"node" + std::to_string(i), NodeHost(i), "/packages/", 1});
        }
        nodeList_ = test::LoadNodeListXml(test::SiteWriter::NodeListXml(nodes));
        nodes_.Serve("/packages/P/K/V/data/file.bin", content_);
        settings.workerThreads = 4;
        settings.maxRunningWorks = maxRunning;
        services_ = std::make_unique<test::PipelineServices>(settings, nullptr, &nodes_);
        NewTransfer();
    }

    // A transfer of the same package into the same folder (the next run).
    void NewTransfer() {
        TransferParams params;
        params.partnerId = "P";
        params.packageId = "K";
        params.versionId = "V";
        params.destPath = scratch_ / "dest";
        transfer_ = std::make_shared<test::HarnessTransfer>(services_->Behavior(), params);
        transfer_->SetPackage(package_);
        transfer_->SetNodeList(nodeList_);
    }

    std::optional<WorkStatus> Run() {
        workflow_ = transfer_->Start(std::make_shared<TransferMultipleFilesWork>(transfer_, nullptr));
        return transfer_->WaitForEnd();
    }
    std::string FilePath() const { return scratch_ / "dest/data/file.bin"; }
    std::string FileContent() const { return test::ReadFileText(FilePath()); }

    test::ScratchFolder scratch_;
    std::string content_;
    ScriptedNodes nodes_;
    std::shared_ptr<PackageManifest> package_;
    std::shared_ptr<NodeListManifest> nodeList_;
    std::unique_ptr<test::PipelineServices> services_;
    std::shared_ptr<test::HarnessTransfer> transfer_;
    std::shared_ptr<StandardWorkflow> workflow_;
};

TEST(ChunkWorksTest, WrongBytesTwiceThenRight) {
    ChunkTree tree(Pattern(5000, 1), 64 * 1024, 1);
    tree.nodes_.AddFault(NodeHost(0), ScriptedNodes::Fault::Wrong, 2);
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::Success);
    EXPECT_EQ(tree.nodes_.Requests().size(), 3u);
    EXPECT_EQ(tree.transfer_->Progress(), 5000);
    EXPECT_EQ(tree.transfer_->Verified(), 5000u);
    EXPECT_EQ(tree.transfer_->Transferred(), 3u * 5000u);
    EXPECT_EQ(tree.FileContent(), tree.content_);
    // Each wrong body counts as a failed request of the node that sent it.
    EXPECT_EQ(tree.nodeList_->GetNodes()[0]->GetStatistics()->errors.Get(), 2u);
}

TEST(ChunkWorksTest, AlwaysWrongSpendsTheChunkBudgetThenWaits) {
    EngineSettings settings;
    settings.minChunkRetries = 2;
    ChunkTree tree(Pattern(3000, 2), 64 * 1024, 1, settings);
    tree.nodes_.AddFault(NodeHost(0), ScriptedNodes::Fault::Wrong);
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::RetryableError);
    EXPECT_FALSE(tree.transfer_->Completion().has_value());
    EXPECT_EQ(tree.nodes_.Requests().size(), 3u);  // the budget of 2, plus the first download
    const auto checksum = std::dynamic_pointer_cast<ChecksumStatusData>(end->data);
    ASSERT_NE(checksum, nullptr);
    std::string inverted = tree.content_;
    for (char& c : inverted) {
        c = static_cast<char>(~c);
    }
    EXPECT_EQ(checksum->actualChecksum, Crc32(inverted.data(), inverted.size()));
    EXPECT_EQ(tree.transfer_->Progress(), 0);
    EXPECT_EQ(tree.transfer_->Verified(), 0u);
    EXPECT_EQ(tree.transfer_->Transferred(), 3u * 3000u);

    // Repaired, Retry completes the chunk.
    tree.nodes_.ClearFaults();
    const auto retried = tree.transfer_->RetryUntilEnd(*tree.workflow_);
    ASSERT_TRUE(retried.has_value());
    EXPECT_EQ(retried->result, WorkResult::Success);
    EXPECT_EQ(tree.transfer_->Progress(), 3000);
    EXPECT_EQ(tree.transfer_->Verified(), 3000u);
    EXPECT_EQ(tree.FileContent(), tree.content_);
}

TEST(ChunkWorksTest, AChunkAlreadyOnDiskIsNotRequested) {
    ChunkTree tree(Pattern(70000, 3), 32 * 1024, 2);
    boost::filesystem::create_directories(tree.scratch_ / "dest/data");
    test::WriteFileText(tree.FilePath(), tree.content_);
    chmod(tree.FilePath().c_str(), 0640);
    struct stat before {};
    ASSERT_EQ(stat(tree.FilePath().c_str(), &before), 0);
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::Success);
    EXPECT_TRUE(tree.nodes_.Requests().empty());
    EXPECT_EQ(tree.transfer_->Progress(), 70000);
    EXPECT_EQ(tree.transfer_->Verified(), 70000u);
    EXPECT_EQ(tree.transfer_->Transferred(), 0u);
    struct stat after {};
    ASSERT_EQ(stat(tree.FilePath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

TEST(ChunkWorksTest, ExtraBytesEndTheAttemptAndNeverReachTheNeighbour) {
    // Two chunks; the second is already right on disk, the first is zeros and is downloaded. The node sends
    // 16 bytes more than asked the first time: those would land in the second chunk, which is not checked
    // again.
    ChunkTree tree(Pattern(2 * 40000, 4), 40000, 1);
    boost::filesystem::create_directories(tree.scratch_ / "dest/data");
    test::WriteFileText(tree.FilePath(), std::string(40000, '\0') + tree.content_.substr(40000));
    tree.nodes_.AddFault(NodeHost(0), ScriptedNodes::Fault::Extra, 1);
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::Success);
    const auto requests = tree.nodes_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].result, HttpRequestResult::OutOfRange);
    EXPECT_EQ(requests[0].first, 0u);
    EXPECT_EQ(requests[1].result, HttpRequestResult::Success);
    EXPECT_EQ(tree.FileContent(), tree.content_);
    EXPECT_EQ(tree.transfer_->Progress(), 80000);
    EXPECT_EQ(tree.transfer_->Verified(), 80000u);
}

// `content` with one byte changed in each of the given chunks.
std::string Changed(std::string content, std::uint32_t chunkSize, const std::vector<std::size_t>& chunks) {
    for (const std::size_t chunk : chunks) {
        content[chunk * chunkSize + 7] ^= 0x5a;
    }
    return content;
}

// `content` with the given chunks zeroed, as a sibling that an interrupted run left.
std::string Holes(std::string content, std::uint32_t chunkSize, const std::vector<std::size_t>& chunks) {
    for (const std::size_t chunk : chunks) {
        const std::size_t start = chunk * chunkSize;
        std::fill(content.begin() + static_cast<std::ptrdiff_t>(start),
                  content.begin() +
                      static_cast<std::ptrdiff_t>(std::min<std::size_t>(start + chunkSize, content.size())),
                  '\0');
    }
    return content;
}

// `content` with the given chunks forged so that each keeps its CRC-32.
std::string Forged(std::string content, std::uint32_t chunkSize, const std::vector<std::size_t>& chunks) {
    for (const std::size_t chunk : chunks) {
        const std::size_t start = chunk * chunkSize;
        forgery::ForgeKeepingCrc32(reinterpret_cast<unsigned char*>(content.data()) + start,
                                   std::min<std::size_t>(chunkSize, content.size() - start));
    }
    return content;
}

ino_t InodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(ChunkWorksTest, AnUpdateFetchesOnlyTheChunksFoundNowhereOnDisk) {
    constexpr std::uint32_t Chunk = 4096;
    const std::string fresh = Pattern(5 * Chunk + 100, 7);  // six chunks, the last of 100 bytes
    struct Case {
        const char* label;
        std::optional<std::string> old;      // the file under the name
        bool hardLinked;                     // ... with a second name
        std::optional<std::string> sibling;  // left by an earlier run
        std::set<std::uint64_t> requested;   // chunk indexes
        bool sameInode;                      // the file under the name is kept, not replaced
    };
    const Case cases[] = {
        {"the same length, two chunks differ", Changed(fresh, Chunk, {1, 3}), false, {}, {1, 3}, false},
        // The manifest gives each chunk's SHA-256, so a chunk with the right CRC-32 is still not taken.
        {"the same length, a chunk forged to keep its CRC-32",
         Forged(fresh, Chunk, {2}),
         false,
         {},
         {2},
         false},
        {"longer", fresh.substr(0, 2 * Chunk + 50), false, {}, {2, 3, 4, 5}, false},
        {"shorter", fresh + Pattern(2 * Chunk, 8), false, {}, {}, false},
        {"two names", Changed(fresh, Chunk, {4}), true, {}, {4}, false},
        {"resuming what an interrupted run left",
         Changed(fresh, Chunk, {1, 3}),
         false,
         Holes(fresh, Chunk, {0, 2, 3, 4, 5}),
         {3},
         false},
        {"a sibling of another length", Changed(fresh, Chunk, {1, 3}), false, "junk", {1, 3}, false},
        {"nothing but a sibling", {}, false, Holes(fresh, Chunk, {2, 5}), {2, 5}, false},
        {"a sibling beside a complete file", fresh, false, Pattern(fresh.size(), 9), {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChunkTree tree(fresh, Chunk, 1);
        const std::string staged = tree.FilePath() + ".halcyne-part";
        const std::string other = tree.scratch_ / "dest/other-name.bin";
        boost::filesystem::create_directories(tree.scratch_ / "dest/data");
        if (c.old) {
            test::WriteFileText(tree.FilePath(), *c.old);
            if (c.hardLinked) {
                ASSERT_EQ(::link(tree.FilePath().c_str(), other.c_str()), 0);
            }
        }
        if (c.sibling) {
            test::WriteFileText(staged, *c.sibling);
        }
        const ino_t before = InodeOf(tree.FilePath());

        const auto end = tree.Run();
        ASSERT_TRUE(end.has_value());
        ASSERT_EQ(end->result, WorkResult::Success);
        std::set<std::uint64_t> requested;
        std::uint64_t requestedBytes = 0;
        for (const auto& request : tree.nodes_.Requests()) {
            requested.insert(request.first / Chunk);
            requestedBytes += request.last - request.first + 1;
        }
        EXPECT_EQ(requested, c.requested);
        EXPECT_EQ(tree.FileContent(), fresh);
        EXPECT_FALSE(boost::filesystem::exists(staged));
        EXPECT_EQ(InodeOf(tree.FilePath()) == before, c.sameInode);
        if (c.hardLinked) {
            EXPECT_EQ(test::ReadFileText(other), *c.old);  // the other name never sees the new bytes
        }
        EXPECT_EQ(tree.transfer_->Progress(), static_cast<std::int64_t>(fresh.size()));
        EXPECT_EQ(tree.transfer_->Verified(), fresh.size());
        EXPECT_EQ(tree.transfer_->Transferred(), requestedBytes);
    }
}

TEST(ChunkWorksTest, AFailedUpdateLeavesTheOldFileAsItWasUntilTheNewOneIsComplete) {
    constexpr std::uint32_t Chunk = 4096;
    const std::string fresh = Pattern(4 * Chunk, 10);
    struct Case {
        const char* label;
        std::string old;
        ScriptedNodes::Fault fault;
    };
    const Case cases[] = {
        {"the same length, the nodes fail", Changed(fresh, Chunk, {0, 2}), ScriptedNodes::Fault::Fail},
        {"the same length, wrong bytes", Changed(fresh, Chunk, {3}), ScriptedNodes::Fault::Wrong},
        {"another length, the nodes fail", fresh.substr(0, Chunk + 10), ScriptedNodes::Fault::Fail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EngineSettings settings;
        settings.minChunkRetries = 1;
        settings.minRequestRetries = 1;
        ChunkTree tree(fresh, Chunk, 1, settings);
        boost::filesystem::create_directories(tree.scratch_ / "dest/data");
        test::WriteFileText(tree.FilePath(), c.old);
        const ino_t before = InodeOf(tree.FilePath());
        tree.nodes_.AddFault(NodeHost(0), c.fault);
        const auto failed = tree.Run();
        ASSERT_TRUE(failed.has_value());
        EXPECT_EQ(failed->result, WorkResult::RetryableError);
        EXPECT_EQ(tree.FileContent(), c.old);
        EXPECT_EQ(InodeOf(tree.FilePath()), before);

        tree.nodes_.ClearFaults();
        const auto retried = tree.transfer_->RetryUntilEnd(*tree.workflow_);
        ASSERT_TRUE(retried.has_value());
        EXPECT_EQ(retried->result, WorkResult::Success);
        EXPECT_EQ(tree.FileContent(), fresh);
        EXPECT_FALSE(boost::filesystem::exists(tree.FilePath() + ".halcyne-part"));
    }
}

// Nodes that forge every chunk they send so that it keeps its CRC-32, with chunk digests in the manifest. A
// forged chunk is caught as it arrives: the chunk comes from another node, and its node is asked for nothing
// more in the transfer and counts a failed request. When every node forges, each is asked once and the
// chunk fails as a checksum mismatch, also when the transfer is retried. One work runs at a time, so the
// requests are made in turn, and every node is tried within the first five.
TEST(ChunkWorksTest, AForgingNodeIsCaughtWithItsFirstChunkAndAskedNoMore) {
    constexpr std::uint32_t Chunk = 4096;
    struct Case {
        const char* label;
        std::vector<int> forgers;
        WorkResult result;
    };
    const Case cases[] = {
        {"one of three nodes forges", {1}, WorkResult::Success},
        {"every node forges", {0, 1, 2}, WorkResult::RetryableError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ChunkTree tree(Pattern(8 * Chunk, 11), Chunk, 3, EngineSettings(), true, 1);
        for (const int forger : c.forgers) {
            tree.nodes_.AddFault(NodeHost(forger), ScriptedNodes::Fault::Forge);
        }
        const auto end = tree.Run();
        ASSERT_TRUE(end.has_value());
        ASSERT_EQ(end->result, c.result);
        std::map<std::string, int> asked;
        for (const auto& request : tree.nodes_.Requests()) {
            ++asked[request.host];
        }
        for (const int forger : c.forgers) {
            const auto& node = tree.nodeList_->GetNodes()[static_cast<std::size_t>(forger)];
            EXPECT_EQ(asked[node->GetHost()], 1) << node->GetHost();
            EXPECT_TRUE(tree.transfer_->GetExcludedNodes()->IsExcluded(*node));
            EXPECT_EQ(node->GetStatistics()->errors.Get(), 1u);
            const auto optimizerErrors = tree.services_->Optimizer().WithLock(
                [&] { return tree.services_->Optimizer().GetStatistics(node)->errors.Get(); });
            EXPECT_EQ(optimizerErrors, 1u);
        }
        if (c.result == WorkResult::Success) {
            EXPECT_EQ(tree.FileContent(), tree.content_);
            EXPECT_EQ(tree.nodes_.Requests().size(), 8u + c.forgers.size());
            EXPECT_EQ(tree.transfer_->Verified(), 8u * Chunk);
            continue;
        }
        const auto data = std::dynamic_pointer_cast<TransferStatusData>(end->data);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data->ToTransferError(), TransferError::ChecksumMismatch);
        EXPECT_EQ(tree.nodes_.Requests().size(), 3u);
        tree.transfer_->ClearRetryable();
        ASSERT_TRUE(tree.workflow_->Retry());
        const auto retried = tree.transfer_->WaitForEnd();
        ASSERT_TRUE(retried.has_value());
        EXPECT_EQ(retried->result, WorkResult::RetryableError);
        const auto again = std::dynamic_pointer_cast<TransferStatusData>(retried->data);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->ToTransferError(), TransferError::ChecksumMismatch);
        EXPECT_EQ(tree.nodes_.Requests().size(), 3u);  // no node is asked again
        EXPECT_EQ(tree.transfer_->Progress(), 0);
    }
}

TEST(ChunkWorksTest, ThreeFailingNodesAreTriedInTurn) {
    EngineSettings settings;
    settings.minRequestRetries = 4;
    ChunkTree tree(Pattern(1000, 5), 64 * 1024, 3, settings);
    for (int i = 0; i < 3; ++i) {
        tree.nodes_.AddFault(NodeHost(i), ScriptedNodes::Fault::Fail, 0, HttpRequestResult::ServerError);
    }
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::RetryableError);
    const auto data = std::dynamic_pointer_cast<HttpTransferStatusData>(end->data);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ToTransferError(), TransferError::ConnectionError);
    const auto requests = tree.nodes_.Requests();
    // At least the first attempt and max(3 - 1, 4) retries; first tries of untested nodes are probes, which
    // cost no retry.
    ASSERT_GE(requests.size(), 5u);
    std::set<std::string> firstThree{requests[0].host, requests[1].host, requests[2].host};
    EXPECT_EQ(firstThree.size(), 3u);
    EXPECT_EQ(tree.transfer_->Progress(), 0);
}

TEST(ChunkWorksTest, RetryLimitsFollowTheNodeCountUpToTheCap) {
    struct Case {
        int nodes;
        int minChunk;
        int minRequest;
        int cap;
        std::uint32_t chunk;
        std::uint32_t request;
    };
    const Case cases[] = {
        {1, 4, 4, 8, 4, 4},  {5, 4, 4, 8, 4, 4},  {6, 4, 4, 8, 5, 5},    {9, 4, 4, 8, 8, 8},
        {10, 4, 4, 8, 8, 8}, {50, 4, 4, 8, 8, 8}, {50, 10, 2, 8, 10, 8}, {50, 4, 4, 20, 20, 20},
        {50, 4, 4, 0, 4, 4}, {3, 0, 0, 8, 2, 2},
    };
    for (const Case& c : cases) {
        EngineSettings settings;
        settings.minChunkRetries = c.minChunk;
        settings.minRequestRetries = c.minRequest;
        settings.maxNodeRetries = c.cap;
        ChunkTree tree("x", 16, c.nodes, settings);
        SCOPED_TRACE(std::to_string(c.nodes) + " nodes, minima " + std::to_string(c.minChunk) + "/" +
                     std::to_string(c.minRequest) + ", cap " + std::to_string(c.cap));
        EXPECT_EQ(ChunkRetryLimit(*tree.transfer_), c.chunk);
        EXPECT_EQ(RequestRetryLimit(*tree.transfer_), c.request);
    }
}

// Fifty nodes that all time out, none of them tested yet: every attempt is a probe, which costs no retry,
// yet one chunk tries no more than 2 * 8 + 1 nodes (free retries are bounded by the budget too) before it
// gives up, instead of one node after the other through the whole list.
TEST(ChunkWorksTest, AChunkTriesACappedNumberOfNodesOfALongList) {
    ChunkTree tree(Pattern(1000, 6), 64 * 1024, 50);
    for (int i = 0; i < 50; ++i) {
        tree.nodes_.AddFault(NodeHost(i), ScriptedNodes::Fault::Fail, 0, HttpRequestResult::TimedOut);
    }
    const auto end = tree.Run();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::RetryableError);
    const auto requests = tree.nodes_.Requests();
    EXPECT_EQ(requests.size(), 17u);
    std::set<std::string> hosts;
    for (const auto& request : requests) {
        hosts.insert(request.host);
    }
    EXPECT_EQ(hosts.size(), requests.size());
}

// Someone truncates the file while its chunks are being written: the chunks past the new end fail instead of
// extending the file (which would leave a hole of zeros where their neighbours' bytes were), the transfer
// fails, and the next run fetches them again into a complete, identical file.
TEST(ChunkWorksTest, AFileTruncatedWhileItsChunksAreWrittenIsNeverExtended) {
    ChunkTree tree(Pattern(200000, 8), 64 * 1024, 2);
    const std::string sibling = tree.FilePath() + ".halcyne-part";
    std::atomic<bool> truncated{false};
    tree.nodes_.AfterEachBlock([&] {
        if (!truncated.exchange(true)) {
            ASSERT_EQ(::truncate(sibling.c_str(), 100000), 0);
        }
    });
    const auto first = tree.Run();
    ASSERT_TRUE(first.has_value());
    EXPECT_NE(first->result, WorkResult::Success);
    EXPECT_EQ(boost::filesystem::file_size(sibling), 100000u) << "nothing was written past the new end";
    EXPECT_FALSE(boost::filesystem::exists(tree.FilePath()));

    tree.nodes_.AfterEachBlock(nullptr);
    tree.NewTransfer();
    const auto second = tree.Run();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->result, WorkResult::Success);
    EXPECT_TRUE(tree.FileContent() == tree.content_);
}

// The works that need the chunk's file or the file data's report their absence as an internal error.
TEST(ChunkWorksTest, MissingSharedDataIsAnInternalError) {
    ChunkTree tree("abc", 16, 1);
    auto chunk = std::make_shared<TransferSharedMapData>(std::make_shared<TransferSharedFileData>("f", 3), 0,
                                                         2, 0, tree.transfer_);
    struct Case {
        std::shared_ptr<SimpleWork> work;
        const char* message;
    };
    const Case cases[] = {
        {std::make_shared<CreateChunkMapWork>(tree.transfer_, chunk),
         "CreateChunkMapWork::ExecuteTask has no shared file"},
        {std::make_shared<MutexPrefetchChunkWork>(tree.transfer_, chunk),
         "MutexPrefetchChunkWork::ExecuteTask has no shared map"},
        {std::make_shared<VerifyChunkWork>(tree.transfer_, chunk),
         "VerifyChunkWork::ExecuteTask has no shared map"},
        {std::make_shared<OptimizedRequestChunkWork>(tree.transfer_, nullptr, chunk, 4),
         "OptimizedRequestChunkWork::ExecuteTask has no shared map"},
    };
    for (const Case& c : cases) {
        const WorkStatus status = c.work->ExecuteTask();
        EXPECT_EQ(status.result, WorkResult::Error);
        const auto data = std::dynamic_pointer_cast<TransferErrorData>(status.data);
        ASSERT_NE(data, nullptr) << c.message;
        EXPECT_EQ(data->ToErrorString(), std::string("error|9|") + c.message);
    }
    EXPECT_TRUE(tree.nodes_.Requests().empty());
}

// A chunk mapped in a file of its own, with its request work, for attempts run by hand.
struct RequestFixture {
    explicit RequestFixture(int nodeCount, EngineSettings settings = EngineSettings())
        : tree("z", 16, nodeCount, settings) {
        tree.nodes_.Serve("/packages/P/K/V/c.bin", Pattern(4000, 9));
        fileData = std::make_shared<TransferSharedFileData>("c.bin", 4000);
        auto file = tree.services_->Behavior().sharedFileFactory->Create(
            tree.scratch_.Path(), "c.bin", SharedFileMode::OpenOrCreate, 0, 3999);
        file->Allocate(4000);
        fileData->UseFile(file);
        chunk = std::make_shared<TransferSharedMapData>(fileData, 0, 3999,
                                                        Crc32(Pattern(4000, 9).data(), 4000), tree.transfer_);
        chunk->UseFile(file);
        work = std::make_shared<OptimizedRequestChunkWork>(tree.transfer_, nullptr, chunk, 4);
    }
    ChunkTree tree;
    std::shared_ptr<TransferSharedFileData> fileData;
    std::shared_ptr<TransferSharedMapData> chunk;
    std::shared_ptr<OptimizedRequestChunkWork> work;
};

TEST(OptimizedRequestChunkWorkTest, InterruptDuringTheRequestEndsItAsInterrupted) {
    RequestFixture f(3);
    for (int i = 0; i < 3; ++i) {
        f.tree.nodes_.AddFault(NodeHost(i), ScriptedNodes::Fault::Hang, 1);
    }
    WorkStatus status;
    std::thread runner([&] { status = f.work->Run(); });
    ASSERT_TRUE(f.tree.nodes_.WaitHanging(1));
    f.work->SetInterrupted();
    f.work->Interrupt();
    runner.join();
    EXPECT_EQ(status.result, WorkResult::Interrupted);
    EXPECT_EQ(f.work->Params().candidates.size(), 3u);  // the node stays a candidate
    EXPECT_EQ(f.work->Retries(), 0u);
    for (const auto& node : f.tree.nodeList_->GetNodes()) {
        EXPECT_EQ(node->GetStatistics()->successes.Get() + node->GetStatistics()->errors.Get(), 0u);
    }
}

TEST(OptimizedRequestChunkWorkTest, InterruptBeforeTheRequestSendsNothing) {
    RequestFixture f(2);
    f.work->SetInterrupted();
    const WorkStatus status = f.work->ExecuteTask();
    EXPECT_EQ(status.result, WorkResult::Interrupted);
    EXPECT_TRUE(f.tree.nodes_.Requests().empty());  // cancelled before it was performed: nothing was sent
    EXPECT_EQ(f.work->Params().candidates.size(), 2u);
    EXPECT_EQ(f.tree.transfer_->Transferred(), 0u);
}

TEST(OptimizedRequestChunkWorkTest, TimeOutsUnderAdaptiveTimeOutsCostNoRetry) {
    struct Case {
        bool adaptive;
        std::uint32_t retries;
    };
    for (const Case c : {Case{true, 0}, Case{false, 1}}) {
        EngineSettings settings;
        if (!c.adaptive) {
            settings.maxConnectTimeout = settings.minConnectTimeout;
            settings.maxLowSpeedTime = settings.minLowSpeedTime;
        }
        RequestFixture f(1, settings);
        f.tree.nodes_.AddFault(NodeHost(0), ScriptedNodes::Fault::Fail, 1, HttpRequestResult::TimedOut);
        const WorkStatus status = f.work->ExecuteTask();
        EXPECT_EQ(status.result, WorkResult::RetryableError);
        EXPECT_TRUE(f.work->ShouldRetry());
        EXPECT_EQ(f.work->Retries(), c.retries) << c.adaptive;
    }
}

TEST(OptimizedRequestChunkWorkTest, ResultsAndReportedTimes) {
    struct ResultCase {
        HttpRequestResult http;
        WorkResult work;
    };
    const ResultCase results[] = {
        {HttpRequestResult::NotStarted, WorkResult::Error},
        {HttpRequestResult::InProgress, WorkResult::Error},
        {HttpRequestResult::Success, WorkResult::Success},
        {HttpRequestResult::Cancelled, WorkResult::Interrupted},
        {HttpRequestResult::BadUrl, WorkResult::RetryableError},
        {HttpRequestResult::ResolveFailed, WorkResult::RetryableError},
        {HttpRequestResult::ConnectFailed, WorkResult::RetryableError},
        {HttpRequestResult::ClientError, WorkResult::RetryableError},
        {HttpRequestResult::ServerError, WorkResult::RetryableError},
        {HttpRequestResult::TransmissionFailed, WorkResult::RetryableError},
        {HttpRequestResult::WriteFailed, WorkResult::RetryableError},
        {HttpRequestResult::OutOfRange, WorkResult::RetryableError},
        {HttpRequestResult::TimedOut, WorkResult::RetryableError},
        {HttpRequestResult::OutOfMemory, WorkResult::Error},
        {HttpRequestResult::OtherError, WorkResult::RetryableError},
        {static_cast<HttpRequestResult>(99), WorkResult::Error},
    };
    for (const ResultCase& c : results) {
        EXPECT_EQ(RequestWorkResult(c.http), c.work) << ToInt(c.http);
    }
    struct TimeCase {
        std::uint32_t elapsed;
        std::int32_t connect;
        std::int32_t total;
        std::int32_t reported;
    };
    const TimeCase times[] = {
        {95000, 5, 60, 65000}, {64000, 5, 60, 64000}, {65999, 5, 60, 65999},
        {66000, 5, 60, 65000}, {0, 0, 0, 0},          {4294967295u, 5, 60, 65000},
    };
    for (const TimeCase& c : times) {
        EXPECT_EQ(ReportedRequestTimeMs(c.elapsed, c.connect, c.total), c.reported) << c.elapsed;
    }
}

}  // namespace
}  // namespace halcyne
