#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/DeliveryService.hpp"
#include "support/ScriptedTransfers.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "transfer/DownloadEngine.hpp"
#include "transfer/Transfer.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;
using namespace std::chrono_literals;

// A package of three files in 16 KiB chunks on a delivery service of three nodes, both analytics endpoints,
// and a temporary directory of the test's own.
class DownloadEngineTest : public ::testing::Test {
protected:
    DownloadEngineTest() : tmpdir_("TMPDIR", scratch_ / "tmp") {
        std::filesystem::create_directories(scratch_ / "tmp");
        package_.chunkSize = 16 * 1024;
        package_.run = "bin/run.sh";
        package_.files = {{"bin/run.sh", RandomBytes(40000, 1)},
                          {"data/a.bin", RandomBytes(200000, 2)},
                          {"data/b.bin", RandomBytes(16 * 1024, 3)}};
        SiteWriter site(scratch_ / "site");
        site.PublishPackage(package_);
        service_ = std::make_unique<LocalDeliveryService>(
            LocalDeliveryService::Options{.site = site.Folder(), .content = {}, .nodes = 3});
        site.PublishNodeList("P", service_->Nodes());
        settings_.manifestHost = service_->ManifestHost();
        settings_.eventAnalyticsUrl = service_->EventsUrl();
        settings_.transferAnalyticsUrl = service_->TransfersUrl();
        settings_.minRequestTimeout = 2;
        settings_.maxConnectTimeout = 2;
    }

    std::string Dest() const { return scratch_ / "dest"; }
    std::uint64_t Total() const {
        std::uint64_t total = 0;
        for (const auto& file : package_.files) {
            total += file.content.size();
        }
        return total;
    }

    // Polls the status every 10 ms until `done` holds (at most 60 s).
    template <typename Done>
    TransferStatus WaitFor(DownloadEngine& engine, const std::string& id, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        TransferStatus status = engine.GetTransferStatus(id);
        while (!done(status) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            status = engine.GetTransferStatus(id);
        }
        return status;
    }
    static bool Initialized(const TransferStatus& s) {
        return s.state == TransferState::Initialized || s.error != TransferError::None;
    }
    static bool Ended(const TransferStatus& s) {
        return s.state == TransferState::Complete || s.state == TransferState::Cancelled ||
               s.error != TransferError::None;
    }

    // Starts a transfer, waits until it is initialized and starts it into Dest().
    std::string StartInto(DownloadEngine& engine) {
        const TransferStatus started = engine.StartTransfer("P", "K", "?");
        EXPECT_EQ(started.state, TransferState::Initializing);
        const TransferStatus initialized = WaitFor(engine, started.transferId, Initialized);
        EXPECT_EQ(initialized.state, TransferState::Initialized);
        EXPECT_EQ(initialized.totalBytes, Total());
        const TransferStatus status = engine.StartTransferInto(started.transferId, Dest());
        EXPECT_EQ(status.state, TransferState::Transferring);
        return started.transferId;
    }

    void ExpectFilesIdentical() {
        for (const auto& file : package_.files) {
            EXPECT_EQ(ReadFileText(Dest() + "/" + file.path), file.content) << file.path;
        }
    }

    // The "event" of every level-1 entry of the run's work log, in order.
    std::vector<std::string> LoggedEvents() const {
        std::vector<std::string> events;
        const std::string folder = scratch_ / "tmp/Vantrel Technologies/Halcyne/logs";
        const std::regex event(R"re(^\[[^\]]*\] \{"event":"([A-Za-z]+)","params":\{"transferId")re");
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::istringstream lines(ReadFileText(entry.path().string()));
            for (std::string line; std::getline(lines, line);) {
                std::smatch match;
                if (std::regex_search(line, match, event)) {
                    events.push_back(match[1]);
                }
            }
        }
        return events;
    }

    std::shared_ptr<Transfer> TransferOf(DownloadEngine& engine, const std::string& id) {
        return engine.GetTransferManager().GetTransfer(id, engine.GetBehavior());
    }

    ScratchFolder scratch_;
    ScopedEnvironment tmpdir_;
    SitePackage package_;
    std::unique_ptr<LocalDeliveryService> service_;
    EngineSettings settings_;
};

TEST_F(DownloadEngineTest, DownloadsAPackageAndReportsEveryStep) {
    std::string id;
    TransferStatus final;
    {
        DownloadEngine engine(settings_);
        id = StartInto(engine);
        final = WaitFor(engine, id, Ended);
        EXPECT_EQ(final.state, TransferState::Complete);
        EXPECT_EQ(final.error, TransferError::None);
        EXPECT_EQ(final.runPath, "bin/run.sh");
        EXPECT_EQ(final.destPath, Dest());
        EXPECT_EQ(final.versionId, "V");
        EXPECT_EQ(final.progressBytes, Total());
        EXPECT_EQ(final.verifiedBytes, Total());
        EXPECT_EQ(final.totalBytes, Total());
        EXPECT_EQ(final.transferredBytes, Total());
        EXPECT_EQ(final.secondsRemaining, 0);
        EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}")));
        // The engine's own statuses for an unknown id.
        const TransferStatus unknown = engine.GetTransferStatus("feedfeedfeedfeedfeedfeedfeedfeed");
        EXPECT_EQ(unknown.state, TransferState::Absent);
        EXPECT_EQ(unknown.error, TransferError::None);
        EXPECT_EQ(unknown.transferId, "feedfeedfeedfeedfeedfeedfeedfeed");
    }
    ExpectFilesIdentical();
    // The run file that was verified and made executable is the one under its name.
    struct stat runFile {};
    ASSERT_EQ(::stat((Dest() + "/bin/run.sh").c_str(), &runFile), 0);
    EXPECT_EQ(final.runFile.device, static_cast<std::uint64_t>(runFile.st_dev));
    EXPECT_EQ(final.runFile.inode, static_cast<std::uint64_t>(runFile.st_ino));
    EXPECT_NE(runFile.st_mode & S_IXUSR, 0u);
    // The stored manifest names the transfer and its destination.
    const std::string stored =
        ReadFileText(scratch_ / ("tmp/Vantrel Technologies/Halcyne/transfers/" + id + ".json"));
    EXPECT_NE(stored.find("\"transferId\":\"" + id + "\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"versionId\":\"V\""), std::string::npos) << stored;

    EXPECT_EQ(LoggedEvents(),
              (std::vector<std::string>{"Initialize", "InitializeComplete", "Start", "Complete"}));

    const auto records = service_->Records();
    const std::string ids = R"({"pid":"P","pkgid":"K","vid":"V")";
    std::multiset<std::string> transfers;
    for (const auto& post : records.PostsTo("transfers")) {
        transfers.insert(post.body);
    }
    std::multiset<std::string> expectedTransfers{
        ids + R"(,"tid":")" + id + R"(","status":"active","transferBytes":"0","duration":"0"})" + "\n"};
    // The complete report's duration depends on the run; check it separately.
    std::string completeReport;
    for (const auto& body : transfers) {
        if (body.find("\"completed\"") != std::string::npos) {
            completeReport = body;
        }
    }
    EXPECT_NE(completeReport.find(",\"transferBytes\":\"" + std::to_string(Total()) + "\""),
              std::string::npos)
        << completeReport;
    transfers.erase(completeReport);
    EXPECT_EQ(transfers, expectedTransfers);

    std::multiset<std::string> events;
    std::string completeArray;
    for (const auto& post : records.PostsTo("events")) {
        if (post.body.front() == '[') {
            completeArray = post.body;
        } else {
            events.insert(post.body);
        }
    }
    auto simple = [&](const std::string& counter, const std::string& prefix) {
        return prefix + R"(,"metrics":{")" + counter + R"(":"1"},"dimensions":{}})" + "\n";
    };
    EXPECT_EQ(events,
              (std::multiset<std::string>{simple("numInitializes", R"({"pid":"P","pkgid":"K","vid":"?")"),
                                          simple("numInitializeCompletes", ids), simple("numStarts", ids)}));
    // The complete array: the counter, then one report per node whose bytes are what the node served.
    EXPECT_EQ(completeArray.rfind("[" + ids + R"(,"metrics":{"numCompletes":"1"},"dimensions":{}})", 0), 0u)
        << completeArray;
    std::uint64_t served = 0;
    for (int node = 0; node < 3; ++node) {
        const std::uint64_t bytes = records.Counts(LocalDeliveryService::NodeName(node)).bytes;
        served += bytes;
        const std::regex report(R"("metrics":\{"bytes":")" + std::to_string(bytes) +
                                R"(","requestTime":"[0-9.e-]+"\},"dimensions":\{"cdn":")" +
                                service_->NodeHost(node) + "\"");
        EXPECT_TRUE(std::regex_search(completeArray, report)) << node << " " << completeArray;
    }
    EXPECT_EQ(served, Total());
}

// The updater's monitor over the engine in a clock where no time passes: it learns of the initialization and
// of the end only from the engine's change reports, never from a poll, so both are seen at once.
TEST_F(DownloadEngineTest, TheMonitorSeesInitializationAndEndWithoutWaitingForAPoll) {
    class Starter : public TransferMonitorCallback {
    public:
        Starter(TransferOperations& engine, TransferMonitorImpl& monitor, std::string destination)
            : engine_(engine), monitor_(monitor), destination_(std::move(destination)) {}
        void OnTransferProgress(const TransferStatus&) override {}
        void OnTransferInitialized(const TransferStatus& status) override {
            engine_.StartTransferInto(status.transferId, destination_);
            monitor_.Monitor(status.transferId, this);
        }
        void OnTransferRetryableError(const TransferStatus& status) override { OnTransferEnd(status); }
        void OnTransferEnd(const TransferStatus& status) override {
            const std::lock_guard<std::mutex> guard(lock_);
            end_ = status;
            ended_.notify_all();
        }
        std::optional<TransferStatus> WaitForEnd() {
            std::unique_lock<std::mutex> lock(lock_);
            ended_.wait_for(lock, 60s, [&] { return end_.has_value(); });
            return end_;
        }

    private:
        TransferOperations& engine_;
        TransferMonitorImpl& monitor_;
        const std::string destination_;
        std::mutex lock_;
        std::condition_variable ended_;
        std::optional<TransferStatus> end_;
    };
    auto engine = std::make_unique<DownloadEngine>(settings_);
    EngineTransferOperations<DownloadEngine> operations(&engine);
    FakeMonitorClock clock;
    clock.block = true;
    TransferMonitorImpl monitor(&operations, &clock);
    Starter starter(operations, monitor, Dest());
    monitor.Start();
    monitor.Monitor(operations.StartTransfer("P", "K", "?").transferId, &starter);
    const std::optional<TransferStatus> end = starter.WaitForEnd();
    monitor.Stop();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->state, TransferState::Complete);
    EXPECT_EQ(end->error, TransferError::None);
    EXPECT_EQ(clock.now, 1000u);
    engine.reset();
    ExpectFilesIdentical();
}

TEST_F(DownloadEngineTest, PauseResumeAndCancelWithDeletion) {
    // Slow nodes, so that the transfer is still running when it is paused.
    service_->AddFault({.server = "", .path = "/packages/", .rate = 200000});
    DownloadEngine engine(settings_);
    const std::string id = StartInto(engine);
    auto transfer = TransferOf(engine, id);
    ASSERT_TRUE(transfer);
    EXPECT_EQ(transfer->Pause().state, TransferState::Paused);
    EXPECT_EQ(transfer->Pause().state, TransferState::Paused);  // does not apply twice
    EXPECT_EQ(transfer->Resume().state, TransferState::Transferring);
    service_->ClearFaults();
    const TransferStatus final = WaitFor(engine, id, Ended);
    EXPECT_EQ(final.state, TransferState::Complete);
    EXPECT_EQ(final.progressBytes, Total());
    EXPECT_EQ(final.verifiedBytes, Total());
    ExpectFilesIdentical();

    const TransferStatus cancelled = transfer->Cancel(true);
    EXPECT_EQ(cancelled.state, TransferState::Complete);  // no longer active: only the files go
    // A file is reported to its transfer when its part of the work tree is let go, which can be after the
    // transfer completed (the work log may still hold the tree); then the transfer deletes it at once.
    const auto anyFileLeft = [&] {
        for (const auto& file : package_.files) {
            if (std::filesystem::exists(Dest() + "/" + file.path)) {
                return true;
            }
        }
        return false;
    };
    for (int i = 0; i < 1000 && anyFileLeft(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto& file : package_.files) {
        EXPECT_FALSE(std::filesystem::exists(Dest() + "/" + file.path)) << file.path;
    }
    EXPECT_FALSE(
        std::filesystem::exists(scratch_ / ("tmp/Vantrel Technologies/Halcyne/transfers/" + id + ".json")));
}

TEST_F(DownloadEngineTest, FaultyNodesAreRetriedElsewhere) {
    service_->AddFault({.server = "node0", .path = "/packages/", .reset = true});
    service_->AddFault({.server = "node1", .path = "/packages/", .wrong = true, .count = 3});
    DownloadEngine engine(settings_);
    const std::string id = StartInto(engine);
    const TransferStatus final = WaitFor(engine, id, Ended);
    EXPECT_EQ(final.state, TransferState::Complete);
    EXPECT_EQ(final.error, TransferError::None);
    ExpectFilesIdentical();
}

// Every node refuses one file: the transfer waits for a retry, naming the request that failed. The engine's
// retry goes on where the transfer stopped: no byte range that arrived before is asked for again.
TEST_F(DownloadEngineTest, AllNodesFailingWaitsForRetry) {
    service_->AddFault({.server = "", .path = "/packages/P/K/V/data/a.bin", .status = 503});
    DownloadEngine engine(settings_);
    const std::string id = StartInto(engine);
    const TransferStatus waiting =
        WaitFor(engine, id, [](const TransferStatus& s) { return s.retrying || Ended(s); });
    EXPECT_TRUE(waiting.retrying);
    EXPECT_EQ(waiting.error, TransferError::ConnectionError);
    EXPECT_EQ(waiting.state, TransferState::Transferring);
    EXPECT_TRUE(
        std::regex_match(waiting.errorCause,
                         std::regex(R"(HTTP 503 for http://127\.0\.0\.1:[0-9]+/packages/P/K/V/data/a\.bin)")))
        << waiting.errorCause;
    std::set<std::string> arrived;
    for (const DeliveryRequest& request : service_->Records().requests) {
        if (request.complete && request.status == 206 && request.path.rfind("/packages/", 0) == 0) {
            arrived.insert(request.path + " " + request.range);
        }
    }
    EXPECT_FALSE(arrived.empty());
    service_->ClearFaults();
    service_->ClearRecords();
    const TransferStatus retried = engine.RetryTransfer(id);
    EXPECT_FALSE(retried.retrying);
    EXPECT_EQ(retried.error, TransferError::None);
    EXPECT_EQ(retried.errorCause, "");
    const TransferStatus final = WaitFor(engine, id, Ended);
    EXPECT_EQ(final.state, TransferState::Complete);
    ExpectFilesIdentical();
    for (const DeliveryRequest& request : service_->Records().requests) {
        EXPECT_EQ(arrived.count(request.path + " " + request.range), 0u)
            << request.path << " " << request.range;
    }
    // A transfer that does not wait for a retry is left as it is; an unknown one is absent.
    EXPECT_EQ(engine.RetryTransfer(id).state, TransferState::Complete);
    EXPECT_EQ(engine.RetryTransfer("no-such-id").state, TransferState::Absent);
}

TEST_F(DownloadEngineTest, AWrongPackageIsFatal) {
    DownloadEngine engine(settings_);
    const TransferStatus started = engine.StartTransfer("Q", "K", "?");
    const TransferStatus status = WaitFor(engine, started.transferId, Ended);
    EXPECT_EQ(status.state, TransferState::Initializing);
    EXPECT_NE(status.error, TransferError::None);
    EXPECT_FALSE(status.retrying);
}

TEST_F(DownloadEngineTest, ShutdownMidTransferSuspendsAndANewEngineCompletes) {
    // Everything but the last file arrives; the last one stalls forever.
    service_->AddFault({.server = "", .path = "/packages/P/K/V/data/b.bin", .stall = true});
    std::string id;
    {
        DownloadEngine engine(settings_);
        id = StartInto(engine);
        WaitFor(engine, id, [&](const TransferStatus& s) {
            return s.verifiedBytes >= Total() - package_.files[2].content.size() || Ended(s);
        });
        std::this_thread::sleep_for(200ms);  // let the stalled requests start
    }
    EXPECT_EQ(LoggedEvents().back(), "Suspend");
    bool suspendReported = false;
    for (const auto& post : service_->Records().PostsTo("transfers")) {
        suspendReported = suspendReported || post.body.find("\"suspended\"") != std::string::npos;
    }
    EXPECT_TRUE(suspendReported);
    ASSERT_TRUE(
        std::filesystem::exists(scratch_ / ("tmp/Vantrel Technologies/Halcyne/transfers/" + id + ".json")));

    service_->ClearFaults();
    service_->ClearRecords();
    DownloadEngine engine(settings_);
    // Starting a stored transfer restores it but does not initialize it.
    EXPECT_EQ(engine.StartTransferInto(id, "?").state, TransferState::Initializing);
    auto transfer = TransferOf(engine, id);
    ASSERT_TRUE(transfer);
    transfer->Initialize();
    EXPECT_EQ(WaitFor(engine, id, Initialized).state, TransferState::Initialized);
    EXPECT_EQ(engine.StartTransferInto(id, "?").state, TransferState::Transferring);
    EXPECT_EQ(WaitFor(engine, id, Ended).state, TransferState::Complete);
    ExpectFilesIdentical();
    for (const auto& request : service_->Records().requests) {
        if (request.server.rfind("node", 0) == 0) {
            EXPECT_NE(request.path.find("b.bin"), std::string::npos) << request.path << " " << request.range;
        }
    }
}

// The chunks of each file that are intact in the destination, under the file's name or in the sibling that
// it is built in: "<path> <index>".
std::set<std::string> IntactChunks(const SitePackage& package, const std::string& dest) {
    std::set<std::string> intact;
    for (const auto& file : package.files) {
        for (const std::string& name : {file.path, file.path + ".halcyne-part"}) {
            std::string present;
            if (std::filesystem::exists(dest + "/" + name)) {
                present = ReadFileText(dest + "/" + name);
            }
            for (std::size_t start = 0, index = 0; start < file.content.size();
                 start += package.chunkSize, ++index) {
                const std::size_t length =
                    std::min<std::size_t>(package.chunkSize, file.content.size() - start);
                if (present.size() >= start + length &&
                    present.compare(start, length, file.content, start, length) == 0) {
                    intact.insert(file.path + " " + std::to_string(index));
                }
            }
        }
    }
    return intact;
}

// Kills a driver running one transfer at random moments, 20 times, restarting it with the transfer's id:
// the files end identical, and no run is served a chunk that was intact on disk when it (or the run
// before it, whose last requests may end after it was killed) began.
TEST_F(DownloadEngineTest, SurvivesBeingKilledAtRandomMoments) {
    package_.files = {{"bin/run.sh", RandomBytes(300000, 4)}, {"data/a.bin", RandomBytes(700000, 5)}};
    SiteWriter site(scratch_ / "site");
    site.PublishPackage(package_);
    service_->AddFault({.server = "", .path = "/packages/", .rate = 400000});
    const unsigned seed = std::random_device()();
    std::cout << "seed " << seed << std::endl;
    std::mt19937 random(seed);
    const std::string driver = BuiltProgram("tests/transfer_driver");
    const std::string idFile = scratch_ / "id";
    std::set<std::string> previous;
    std::uint64_t servedBytes = 0;
    int status = -1;
    for (int run = 0; run <= 20; ++run) {
        const std::set<std::string> intact = IntactChunks(package_, Dest());
        service_->ClearRecords();
        if (run == 20) {
            service_->ClearFaults();
        }
        const std::string host = service_->ManifestHost();
        const std::string dest = Dest();
        char* const arguments[] = {const_cast<char*>(driver.c_str()), const_cast<char*>(host.c_str()),
                                   const_cast<char*>(dest.c_str()), const_cast<char*>(idFile.c_str()),
                                   nullptr};
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, driver.c_str(), nullptr, nullptr, arguments, environ), 0);
        if (run < 20) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 600)(random)));
            ::kill(pid, SIGKILL);
        }
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        for (const auto& request : service_->Records().requests) {
            if (request.server.rfind("node", 0) != 0 || request.range.empty()) {
                continue;
            }
            servedBytes += request.bytes;
            const std::string path = request.path.substr(request.path.find("/V/") + 3);
            const std::uint64_t first = std::stoull(request.range.substr(request.range.find('=') + 1));
            const std::string chunk = path + " " + std::to_string(first / package_.chunkSize);
            EXPECT_FALSE(intact.count(chunk) != 0 && previous.count(chunk) != 0)
                << "run " << run << " was served " << chunk << " (seed " << seed << ")";
        }
        previous = intact;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ExpectFilesIdentical();
    for (const auto& file : package_.files) {
        EXPECT_FALSE(std::filesystem::exists(Dest() + "/" + file.path + ".halcyne-part")) << file.path;
    }
    std::cout << "bytes served over all runs: " << servedBytes << " of " << Total() << std::endl;
}

}  // namespace
}  // namespace halcyne
