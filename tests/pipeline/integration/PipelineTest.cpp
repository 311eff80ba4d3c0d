// The whole tree of a package transfer against the local delivery service on 127.0.0.1: manifests from its
// manifest service, chunks from its content nodes, with faults switched on per node. Time-outs are short
// (FastPipelineSettings), so that a stall costs about a second.
#include <set>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "file/FileException.hpp"
#include "file/SharedFile.hpp"
#include "http/HttpSession.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/NodeListManifest.hpp"
#include "manifest/PackageManifest.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/SetupWorks.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "support/DeliveryService.hpp"
#include "support/PipelineHarness.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

std::string Pattern(std::size_t size, unsigned seed) {
    std::string text(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : text) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return text;
}

constexpr std::uint32_t ChunkSize = 16 * 1024;

// A file factory whose files refuse to grow, as on a full disk.
class FullDiskFileFactory : public PosixSharedFileFactory {
public:
    std::shared_ptr<SharedFile> Create(const std::string& folder, const std::string& name,
                                       SharedFileMode mode, std::uint64_t lowerBound,
                                       std::uint64_t upperBound) override {
        PosixSharedFileFactory::Create(folder, name, mode, lowerBound, upperBound);
        throw FileInsufficientSpaceException("full disk");
    }
};

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest() {
        package.run = "bin/start.sh";
        package.chunkSize = ChunkSize;
        package.files = {
            {"bin/start.sh", Pattern(3 * ChunkSize + 17, 1), ""},
            {"data/a.pak", Pattern(9 * ChunkSize + 1, 2), ""},
            {"data/b.pak", Pattern(1, 3), ""},
            {"readme.txt", Pattern(ChunkSize, 4), ""},
        };
        site.PublishPackage(package);
        service = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = site.Folder(), .content = {}, .nodes = 3});
        site.PublishNodeList("P", service->Nodes());
    }

    std::shared_ptr<test::HarnessTransfer> NewTransfer(test::PipelineServices& services,
                                                       const std::string& version = "?") {
        TransferParams params;
        params.transferId = "T";
        params.partnerId = "P";
        params.packageId = "K";
        params.versionId = version;
        params.destPath = scratch / "dest";
        return std::make_shared<test::HarnessTransfer>(services.Behavior(), params);
    }
    std::unique_ptr<test::PipelineServices> Services(SharedFileFactory* files = nullptr, int maxRunning = 6) {
        EngineSettings settings = test::FastPipelineSettings(service->ManifestHost());
        settings.workerThreads = 6;
        settings.maxRunningWorks = maxRunning;
        return std::make_unique<test::PipelineServices>(settings, files);
    }
    std::string Dest(const std::string& path) const { return scratch / ("dest/" + path); }
    std::uint64_t Total() const {
        std::uint64_t total = 0;
        for (const auto& file : package.files) {
            total += file.content.size();
        }
        return total;
    }
    void ExpectComplete(const test::HarnessTransfer& transfer) {
        for (const auto& file : package.files) {
            EXPECT_EQ(test::ReadFileText(Dest(file.path)), file.content) << file.path;
        }
        EXPECT_EQ(transfer.Progress(), static_cast<std::int64_t>(Total()));
        EXPECT_EQ(transfer.Verified(), Total());
    }
    std::vector<test::DeliveryRequest> NodeRequests() const {
        std::vector<test::DeliveryRequest> requests;
        for (const auto& request : service->Records().requests) {
            if (request.server.rfind("node", 0) == 0) {
                requests.push_back(request);
            }
        }
        return requests;
    }
    // Descriptors and mappings of this process that lead into the destination folder.
    std::vector<std::string> OpenUnderDest() const {
        std::vector<std::string> open;
        const std::string folder = scratch / "dest";
        for (const auto& entry : boost::filesystem::directory_iterator("/proc/self/fd")) {
            boost::system::error_code error;
            const auto target = boost::filesystem::read_symlink(entry.path(), error);
            if (!error && target.string().rfind(folder, 0) == 0) {
                open.push_back("fd " + target.string());
            }
        }
        std::istringstream maps(test::ReadFileText("/proc/self/maps"));
        for (std::string line; std::getline(maps, line);) {
            if (line.find(folder) != std::string::npos) {
                open.push_back("map " + line);
            }
        }
        return open;
    }
    // Drops the workflow (and with it the tree) and waits until a pool thread that completed the root has let
    // go of it too.
    static void TearDown(std::shared_ptr<StandardWorkflow>& workflow) {
        std::weak_ptr<StandardWorkflow> gone = workflow;
        workflow.reset();
        for (int i = 0; i < 500 && !gone.expired(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    mode_t Mode(const std::string& path) const {
        struct stat info {};
        EXPECT_EQ(stat(Dest(path).c_str(), &info), 0);
        return info.st_mode & 0777;
    }

    // One transfer of the package, one work at a time, into an empty destination, with the given nodes
    // forging every chunk they send (keeping its CRC-32).
    struct ForgedRun {
        std::unique_ptr<test::PipelineServices> services;
        std::shared_ptr<test::HarnessTransfer> transfer;
        std::shared_ptr<StandardWorkflow> workflow;
        std::optional<WorkStatus> end;
    };
    ForgedRun RunWithForgingNodes(const std::vector<int>& forgers) {
        boost::filesystem::remove_all(scratch / "dest");
        service->ClearFaults();
        service->ClearRecords();
        for (const int forger : forgers) {
            service->AddFault({.server = test::LocalDeliveryService::NodeName(forger), .forge = true});
        }
        ForgedRun run;
        run.services = Services(nullptr, 1);
        run.transfer = NewTransfer(*run.services);
        run.workflow = run.transfer->Start();
        run.end = run.transfer->WaitForEnd();
        return run;
    }

    test::ScratchFolder scratch;
    test::SiteWriter site{scratch / "site"};
    test::SitePackage package;
    std::unique_ptr<test::LocalDeliveryService> service;
};

TEST_F(PipelineTest, APackageFromThreeNodes) {
    auto services = Services();
    auto transfer = NewTransfer(*services);
    auto workflow = transfer->Start();
    const auto end = transfer->WaitForEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::Success);
    EXPECT_TRUE(transfer->Initialized());
    EXPECT_EQ(transfer->GetParams().versionId, "V");  // "?" became the manifest's version
    ExpectComplete(*transfer);
    EXPECT_EQ(transfer->Transferred(), Total());
    TearDown(workflow);
    EXPECT_EQ(OpenUnderDest(), std::vector<std::string>{});
    // Each file is reported when its work is let go of: once complete, or when the tree is torn down.
    std::vector<std::string> created = transfer->CreatedFiles();
    std::sort(created.begin(), created.end());
    EXPECT_EQ(created, (std::vector<std::string>{"bin/start.sh", "data/a.pak", "data/b.pak", "readme.txt"}));
    // The run file may be executed once the package is complete; the data files never.
    EXPECT_EQ(Mode("bin/start.sh") & 0100, 0100u);
    EXPECT_EQ(Mode("data/a.pak") & 0111, 0u);
    // Every chunk was asked for once, with exactly its range.
    EXPECT_EQ(NodeRequests().size(), 4u + 10u + 1u + 1u);
}

// Files of size 0 (placeholders such as ".keep") are created empty without asking any node, with their
// digest or without: one already empty stays, and a file with content under the name becomes empty.
TEST_F(PipelineTest, EmptyFilesAreCreatedWithoutARequest) {
    for (const bool hashed : {true, false}) {
        SCOPED_TRACE(hashed ? "with digests" : "without digests");
        test::SitePackage empty;
        empty.packageId = "E";
        empty.chunkSize = ChunkSize;
        empty.hashFiles = hashed;
        empty.hashChunks = hashed;
        empty.files = {{"a.bin", Pattern(ChunkSize + 5, 9), ""},
                       {"data/.keep", "", ""},
                       {"logs/.keep", "", ""},
                       {"was-full", "", ""}};
        site.PublishPackage(empty);
        boost::filesystem::remove_all(scratch / "dest");
        boost::filesystem::create_directories(scratch / "dest/logs");
        test::WriteFileText(Dest("logs/.keep"), "");
        test::WriteFileText(Dest("was-full"), "old content");
        service->ClearRecords();

        auto services = Services();
        TransferParams params;
        params.transferId = "T";
        params.partnerId = "P";
        params.packageId = "E";
        params.versionId = "?";
        params.destPath = scratch / "dest";
        auto transfer = std::make_shared<test::HarnessTransfer>(services->Behavior(), params);
        auto workflow = transfer->Start();
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->result, WorkResult::Success);
        for (const auto& file : empty.files) {
            EXPECT_EQ(test::ReadFileText(Dest(file.path)), file.content) << file.path;
            EXPECT_FALSE(boost::filesystem::exists(Dest(file.path) + ".halcyne-part")) << file.path;
        }
        EXPECT_EQ(transfer->Verified(), ChunkSize + 5u);
        // Only the two chunks of the one file with content were asked for.
        const auto requests = NodeRequests();
        EXPECT_EQ(requests.size(), 2u);
        for (const auto& request : requests) {
            EXPECT_EQ(request.path, "/packages/P/E/V/a.bin");
        }
        TearDown(workflow);
    }
}

TEST_F(PipelineTest, EveryNodeFaultIsOvercome) {
    struct Case {
        const char* name;
        test::DeliveryFault fault;
    };
    const Case cases[] = {
        {"503", {.server = "node0", .status = 503}},
        {"reset", {.server = "node0", .reset = true}},
        {"wrong bytes", {.server = "node0", .wrong = true}},
        {"extra bytes", {.server = "node0", .extra = 100}},
        {"stall", {.server = "node0", .stall = true, .stallAfter = 1000}},
        {"dead", {.server = "node0", .refuse = true}},
        {"whole file for a range", {.server = "node0", .ignoreRange = true}},
        {"short body", {.server = "node0", .shortBy = 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boost::filesystem::remove_all(scratch / "dest");
        service->ClearFaults();
        service->ClearRecords();
        service->AddFault(c.fault);
        auto services = Services();
        auto transfer = NewTransfer(*services);
        auto workflow = transfer->Start();
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->result, WorkResult::Success);
        ExpectComplete(*transfer);
        EXPECT_GE(transfer->Transferred(), Total());
        service->ClearFaults();  // ends stalls in progress
    }
}

// Nodes that forge every chunk they send so that it keeps its CRC-32, with the chunk digests the publisher
// writes. A forged chunk is caught as it arrives and fetched from another node; its node is asked for
// nothing more. One work runs at a time, so that the requests each node answered are exact: a node is tried
// within the first five requests (the optimizer probes every untested node), and the package takes 16.
TEST_F(PipelineTest, ForgingNodesAreCaughtByTheChunkDigests) {
    struct Case {
        const char* name;
        std::vector<int> forgers;
        WorkResult result;
        std::size_t requests;  // to all nodes
    };
    const Case cases[] = {
        {"one of three nodes forges", {0}, WorkResult::Success, 16 + 1},
        {"every node forges", {0, 1, 2}, WorkResult::RetryableError, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgedRun run = RunWithForgingNodes(c.forgers);
        auto& [services, transfer, workflow, end] = run;
        ASSERT_TRUE(end.has_value());
        ASSERT_EQ(end->result, c.result);
        const auto records = service->Records();
        EXPECT_EQ(NodeRequests().size(), c.requests);
        for (const int forger : c.forgers) {
            const std::string name = test::LocalDeliveryService::NodeName(forger);
            const auto requests = records.RequestsTo(name);
            ASSERT_EQ(requests.size(), 1u) << name;
            EXPECT_TRUE(requests[0].faulted);
            const auto& node = transfer->GetNodeList()->GetNodes()[static_cast<std::size_t>(forger)];
            EXPECT_EQ(node->GetStatistics()->errors.Get(), 1u) << name;
        }
        if (c.result == WorkResult::Success) {
            ExpectComplete(*transfer);
            continue;
        }
        const auto data = std::dynamic_pointer_cast<TransferStatusData>(end->data);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data->ToTransferError(), TransferError::ChecksumMismatch);
        workflow->Cancel(WorkStatus(WorkResult::Error));
        TearDown(workflow);
    }
}

// The same nodes with a manifest without chunk digests: the forgery shows only in the file's hash, so the
// whole file is fetched again, twice at most, each time from one node that has not been such a source yet.
// The requests of each file are its rounds, one after the other (one work at a time).
TEST_F(PipelineTest, ForgingNodesWithoutChunkDigestsAreOutlastedByFetchingTheFileAgain) {
    package.hashChunks = false;
    site.PublishPackage(package);
    struct Case {
        const char* name;
        std::vector<int> forgers;
        WorkResult result;
    };
    const Case cases[] = {
        {"one of three nodes forges", {1}, WorkResult::Success},
        {"every node forges", {0, 1, 2}, WorkResult::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgedRun run = RunWithForgingNodes(c.forgers);
        auto& [services, transfer, workflow, end] = run;
        ASSERT_TRUE(end.has_value());
        ASSERT_EQ(end->result, c.result);
        std::size_t requested = 0;
        for (const auto& file : package.files) {
            SCOPED_TRACE(file.path);
            std::vector<std::string> servers;
            for (const auto& request : NodeRequests()) {
                if (request.path == "/packages/P/K/V/" + file.path) {
                    servers.push_back(request.server);
                }
            }
            requested += servers.size();
            const std::size_t chunks = (file.content.size() + ChunkSize - 1) / ChunkSize;
            ASSERT_EQ(servers.size() % chunks, 0u);
            const std::size_t rounds = servers.size() / chunks;
            EXPECT_LE(rounds, 3u);
            std::set<std::string> sources;
            for (std::size_t round = 1; round < rounds; ++round) {
                const std::set<std::string> servedBy(
                    servers.begin() + static_cast<std::ptrdiff_t>(round * chunks),
                    servers.begin() + static_cast<std::ptrdiff_t>((round + 1) * chunks));
                ASSERT_EQ(servedBy.size(), 1u) << "round " << round;
                EXPECT_TRUE(sources.insert(*servedBy.begin()).second) << "a source twice";
            }
            if (c.result == WorkResult::Error && file.path == package.run) {
                EXPECT_EQ(rounds, 3u);  // the run file comes first, and its last mismatch is final
            }
        }
        EXPECT_EQ(requested, NodeRequests().size());
        if (c.result == WorkResult::Success) {
            ExpectComplete(*transfer);
            continue;
        }
        const auto data = std::dynamic_pointer_cast<TransferStatusData>(end->data);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data->ToTransferError(), TransferError::ChecksumMismatch);
        EXPECT_EQ(NodeRequests().size(), 3u * 4u);  // nothing of the other files
        EXPECT_FALSE(boost::filesystem::exists(Dest("bin/start.sh")));
    }
}

TEST_F(PipelineTest, AllNodesFailingWaitsThenRetryCompletes) {
    service->AddFault({.path = "/packages/", .status = 503});
    auto services = Services();
    auto transfer = NewTransfer(*services);
    auto workflow = transfer->Start();
    const auto waiting = transfer->WaitForEnd();
    ASSERT_TRUE(waiting.has_value());
    EXPECT_EQ(waiting->result, WorkResult::RetryableError);
    const auto data = std::dynamic_pointer_cast<TransferStatusData>(waiting->data);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->ToTransferError(), TransferError::ConnectionError);
    EXPECT_FALSE(transfer->Completion().has_value());
    // The run file is the first to be transferred; while incomplete it is built beside its name and cannot
    // be executed.
    EXPECT_FALSE(boost::filesystem::exists(Dest("bin/start.sh")));
    EXPECT_EQ(Mode("bin/start.sh.halcyne-part") & 0111, 0u);

    service->ClearFaults();
    const auto end = transfer->RetryUntilEnd(*workflow);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::Success);
    ExpectComplete(*transfer);
    EXPECT_EQ(Mode("bin/start.sh") & 0100, 0100u);
}

TEST_F(PipelineTest, ATreeTornDownAfterFailingLetsGoOfEveryFile) {
    // Every chunk of one file fails: its chunks keep their views while the transfer waits.
    service->AddFault({.path = "/packages/P/K/V/data/a.pak", .status = 404});
    auto services = Services();
    auto transfer = NewTransfer(*services);
    auto workflow = transfer->Start();
    ASSERT_EQ(transfer->WaitForEnd().value().result, WorkResult::RetryableError);
    EXPECT_FALSE(OpenUnderDest().empty());
    workflow->Cancel(WorkStatus(WorkResult::Error));
    TearDown(workflow);
    EXPECT_EQ(OpenUnderDest(), std::vector<std::string>{});
    const std::vector<std::string> created = transfer->CreatedFiles();
    const std::set<std::string> reported(created.begin(), created.end());
    // Every file is reported, and the one that failed is still being built beside its name. A file of the
    // other group may still have been in flight when the transfer stopped, and then its sibling is reported
    // too; nothing else is.
    const std::set<std::string> required{"bin/start.sh", "data/a.pak", "data/a.pak.halcyne-part",
                                         "data/b.pak", "readme.txt"};
    std::set<std::string> allowed = required;
    allowed.insert({"data/b.pak.halcyne-part", "readme.txt.halcyne-part"});
    for (const std::string& name : required) {
        EXPECT_EQ(reported.count(name), 1u) << name;
    }
    for (const std::string& name : reported) {
        EXPECT_EQ(allowed.count(name), 1u) << name;
    }
    EXPECT_EQ(created.size(), reported.size());
}

TEST_F(PipelineTest, OnlyBadChunksOnDiskAreDownloaded) {
    {
        auto services = Services();
        auto transfer = NewTransfer(*services);
        auto workflow = transfer->Start();
        ASSERT_EQ(transfer->WaitForEnd().value().result, WorkResult::Success);
    }
    // A complete set: verified, nothing requested, the files left as they are.
    struct stat before {};
    ASSERT_EQ(stat(Dest("data/a.pak").c_str(), &before), 0);
    service->ClearRecords();
    {
        auto services = Services();
        auto transfer = NewTransfer(*services);
        auto workflow = transfer->Start();
        ASSERT_EQ(transfer->WaitForEnd().value().result, WorkResult::Success);
        ExpectComplete(*transfer);
        EXPECT_EQ(transfer->Transferred(), 0u);
        EXPECT_TRUE(NodeRequests().empty());
    }
    struct stat after {};
    ASSERT_EQ(stat(Dest("data/a.pak").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    // Two damaged chunks of one file: exactly those two ranges are requested.
    {
        std::string damaged = test::ReadFileText(Dest("data/a.pak"));
        damaged[2 * ChunkSize + 5] ^= 1;
        damaged[9 * ChunkSize] ^= 1;  // the last chunk, one byte long
        test::WriteFileText(Dest("data/a.pak"), damaged);
    }
    service->ClearRecords();
    auto services = Services();
    auto transfer = NewTransfer(*services);
    auto workflow = transfer->Start();
    ASSERT_EQ(transfer->WaitForEnd().value().result, WorkResult::Success);
    ExpectComplete(*transfer);
    std::vector<std::string> ranges;
    for (const auto& request : NodeRequests()) {
        ranges.push_back(request.path + " " + request.range);
    }
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"/packages/P/K/V/data/a.pak bytes=147456-147456",
                                                "/packages/P/K/V/data/a.pak bytes=32768-49151"}));
}

TEST_F(PipelineTest, AFullDiskIsReportedBeforeAnyRequest) {
    FullDiskFileFactory full;
    auto services = Services(&full);
    auto transfer = NewTransfer(*services);
    auto workflow = transfer->Start();
    const auto end = transfer->WaitForEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->result, WorkResult::RetryableError);
    EXPECT_EQ(std::dynamic_pointer_cast<TransferStatusData>(end->data)->ToTransferError(),
              TransferError::InsufficientSpace);
    EXPECT_TRUE(NodeRequests().empty());
    TearDown(workflow);
    EXPECT_EQ(OpenUnderDest(), std::vector<std::string>{});
}

TEST_F(PipelineTest, ManifestWorks) {
    // A second version that is not current, and a manifest that names another version than its path.
    test::SitePackage other = package;
    other.versionId = "W";
    site.PublishPackage(other, false);
    site.WriteText("manifests/K/X.xml", site.PackageManifestXml(package));
    struct Case {
        const char* name;
        std::string version;
        test::DeliveryFault fault;
        WorkResult result;
        TransferError error;
        std::string versionAfter;
    };
    const Case cases[] = {
        {"current", "?", {}, WorkResult::Success, TransferError::None, "V"},
        {"given", "W", {}, WorkResult::Success, TransferError::None, "W"},
        {"another version", "X", {}, WorkResult::Error, TransferError::ManifestError, "X"},
        {"404", "Y", {}, WorkResult::Error, TransferError::NotPublished, "Y"},
        {"one 503",
         "?",
         {.server = "manifest", .status = 503, .count = 1},
         WorkResult::Success,
         TransferError::None,
         "V"},
        {"service down",
         "?",
         {.server = "manifest", .refuse = true},
         WorkResult::RetryableError,
         TransferError::ConnectionError,
         "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service->ClearFaults();
        service->ClearRecords();
        if (!c.fault.server.empty()) {
            service->AddFault(c.fault);
        }
        auto services = Services();
        auto transfer = NewTransfer(*services, c.version);
        auto session = services->Behavior().sessionFactory->CreateSession();
        auto workflow = transfer->Start(std::make_shared<GetManifestsWork>(transfer, session));
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->result, c.result);
        if (c.error != TransferError::None) {
            const auto data = std::dynamic_pointer_cast<TransferStatusData>(end->data);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(data->ToTransferError(), c.error);
        } else {
            ASSERT_NE(transfer->GetPackage(), nullptr);
            ASSERT_NE(transfer->GetNodeList(), nullptr);
            EXPECT_EQ(transfer->GetNodeList()->GetNodes().size(), 3u);
        }
        EXPECT_EQ(transfer->GetParams().versionId, c.versionAfter);
        service->ClearFaults();
    }
}

// The current manifest names the version, and the version id goes into every chunk URL as one segment:
// the requests reach the nodes of the node list under the version's folder, whatever the id holds.
TEST_F(PipelineTest, AVersionIdFromTheCurrentManifestStaysInItsSegment) {
    struct Case {
        std::string version;
        std::string folder;  // the folder every chunk request is in; "" when the manifest is refused
    };
    const Case cases[] = {
        {"build:42", "/packages/P/K/build:42/"},
        {"1.0?rc", "/packages/P/K/1.0%3Frc/"},
        {"//elsewhere.example", "/packages/P/K/%2F%2Felsewhere.example/"},
        {"..", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        test::SitePackage published = package;
        published.versionId = c.version;
        site.PublishPackage(published);
        service->ClearRecords();
        boost::filesystem::remove_all(scratch / "dest");
        auto services = Services();
        auto transfer = NewTransfer(*services);
        auto workflow = transfer->Start();
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        std::vector<std::string> folders;
        for (const auto& request : NodeRequests()) {
            folders.push_back(request.path.substr(0, c.folder.size()));
        }
        if (c.folder.empty()) {
            EXPECT_EQ(end->result, WorkResult::Error);
            const auto data = std::dynamic_pointer_cast<TransferStatusData>(end->data);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(data->ToTransferError(), TransferError::ManifestError);
            EXPECT_EQ(folders, std::vector<std::string>{});
        } else {
            ASSERT_EQ(end->result, WorkResult::Success);
            EXPECT_EQ(transfer->GetParams().versionId, c.version);
            ExpectComplete(*transfer);
            EXPECT_EQ(folders, std::vector<std::string>(16, c.folder));
        }
        TearDown(workflow);
    }
}

// A document refused for its size, or a package too large to set up, is a manifest error at once: no retry
// fetches it again.
TEST_F(PipelineTest, AnOversizedDocumentIsAManifestErrorWithoutARetry) {
    const auto size = [&](const std::string& relative) {
        return static_cast<std::uint64_t>(test::ReadFileText(site.Folder() + "/" + relative).size());
    };
    struct Case {
        const char* name;
        void (*limit)(EngineSettings&, std::uint64_t packageBytes, std::uint64_t nodeListBytes);
        const char* refused;  // the path that is refused
        const char* message;  // a part of the error's text
    };
    const Case cases[] = {
        {"package manifest one byte over",
         [](EngineSettings& s, std::uint64_t bytes, std::uint64_t) { s.maxPackageManifestBytes = bytes - 1; },
         "/manifests/K/current.xml", "the package manifest"},
        {"node list one byte over",
         [](EngineSettings& s, std::uint64_t, std::uint64_t bytes) { s.maxNodeListBytes = bytes - 1; },
         "/nodes/P.xml", "the node list"},
        {"node list of more nodes than allowed",
         [](EngineSettings& s, std::uint64_t, std::uint64_t) { s.maxNodeListNodes = 2; }, "/nodes/P.xml",
         "the node list names 3 nodes, more than the 2"},
        {"package of one file more than allowed",
         [](EngineSettings& s, std::uint64_t, std::uint64_t) { s.maxPackageFiles = 3; },
         "/manifests/K/current.xml", "describes 4 files, more than the 3 allowed"},
        {"package of one chunk more than allowed",
         [](EngineSettings& s, std::uint64_t, std::uint64_t) { s.maxPackageChunks = 15; },
         "/manifests/K/current.xml", "more than the 15 chunks allowed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service->ClearRecords();
        EngineSettings settings = test::FastPipelineSettings(service->ManifestHost());
        c.limit(settings, size("manifests/K/current.xml"), size("nodes/P.xml"));
        test::PipelineServices services(settings);
        auto transfer = NewTransfer(services);
        auto workflow = transfer->Start(std::make_shared<GetManifestsWork>(
            transfer, services.Behavior().sessionFactory->CreateSession()));
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->result, WorkResult::Error);
        const auto data = std::dynamic_pointer_cast<TransferExceptionData>(end->data);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data->ToTransferError(), TransferError::ManifestError);
        try {
            std::rethrow_exception(data->Exception());
        } catch (const ManifestSizeException& refused) {
            EXPECT_THAT(refused.what(), ::testing::HasSubstr(c.message));
        } catch (...) {
            ADD_FAILURE() << "not a ManifestSizeException";
        }
        TearDown(workflow);
        int fetched = 0;
        for (const auto& request : service->Records().RequestsTo("manifest")) {
            fetched += request.path == c.refused ? 1 : 0;
        }
        EXPECT_EQ(fetched, 1);
    }
}

TEST_F(PipelineTest, InterruptStopsAManifestFetchInFlight) {
    service->AddFault({.server = "manifest", .stall = true});
    auto services = Services();
    auto transfer = NewTransfer(*services);
    auto session = services->Behavior().sessionFactory->CreateSession();
    for (const bool package : {true, false}) {
        SCOPED_TRACE(package ? "package" : "node list");
        std::shared_ptr<SimpleWork> work;
        if (package) {
            work = std::make_shared<GetPackageManifestWork>(transfer, session);
        } else {
            work = std::make_shared<GetNodeListWork>(transfer, session);
        }
        WorkStatus status;
        const auto start = std::chrono::steady_clock::now();
        std::thread runner([&] { status = work->Run(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        work->SetInterrupted();
        work->Interrupt();
        runner.join();
        EXPECT_EQ(status.result, WorkResult::Interrupted);
        // Well before the manifest time-out (5 s) would have ended it.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
}

}  // namespace
}  // namespace halcyne
