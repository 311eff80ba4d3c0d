#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"
#include "support/PipelineHarness.hpp"
#include "support/ScriptedNodes.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"
#include "transfer/StandardTransfer.hpp"
#include "transfer/StandardTransferWorkflowFactory.hpp"
#include "transfer/TransferChangeSignal.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"
#include "transfer/TransferRig.hpp"
#include "work/AsioWorkManager.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;
using namespace std::chrono_literals;

// Manifest factories that hand out documents loaded beforehand, so that the whole tree runs without a
// network: the chunks come from scripted nodes.
class FixedPackageFactory : public XmlHttpPackageManifestFactory {
public:
    explicit FixedPackageFactory(std::shared_ptr<PackageManifest> package, HttpRequestFactory* requests)
        : XmlHttpPackageManifestFactory("manifest.test", requests, 1, 1), package_(std::move(package)) {}
    std::shared_ptr<PackageManifest> Create(const std::string&, std::shared_ptr<HttpSession>,
                                            std::shared_ptr<HttpRequestCanceller>) override {
        return package_;
    }

private:
    std::shared_ptr<PackageManifest> package_;
};

class FixedNodeListFactory : public XmlHttpNodeListManifestFactory {
public:
    explicit FixedNodeListFactory(std::shared_ptr<NodeListManifest> nodes, HttpRequestFactory* requests)
        : XmlHttpNodeListManifestFactory("manifest.test", requests, 1, 1), nodes_(std::move(nodes)) {}
    std::shared_ptr<NodeListManifest> Create(const std::string&, std::shared_ptr<HttpSession>,
                                             std::shared_ptr<HttpRequestCanceller>) override {
        return nodes_;
    }

private:
    std::shared_ptr<NodeListManifest> nodes_;
};

// One transfer seen through the operations the updater's monitor uses; its changes are reported through
// the signal the transfer's behaviour holds.
class OneTransfer : public TransferOperations {
public:
    OneTransfer(Transfer& transfer, TransferChangeSignal& changes) : transfer_(transfer), changes_(changes) {}
    TransferStatus StartTransfer(const std::string&, const std::string&, const std::string&) override {
        return TransferStatus();
    }
    TransferStatus StartTransferInto(const std::string&, const std::string& destination) override {
        return transfer_.Start(destination);
    }
    TransferStatus GetTransferStatus(const std::string&) override { return transfer_.GetStatus(); }
    TransferStatus RetryTransfer(const std::string&) override { return transfer_.Retry(); }
    void SetChangeListener(std::function<void()> listener) override {
        changes_.SetListener(std::move(listener));
    }

private:
    Transfer& transfer_;
    TransferChangeSignal& changes_;
};

// Waits (at most 60 s) for the monitor to report the end.
class EndWaiter : public TransferMonitorCallback {
public:
    void OnTransferProgress(const TransferStatus&) override {}
    void OnTransferInitialized(const TransferStatus& status) override { OnTransferEnd(status); }
    void OnTransferRetryableError(const TransferStatus& status) override { OnTransferEnd(status); }
    void OnTransferEnd(const TransferStatus& status) override {
        const std::lock_guard<std::mutex> guard(lock_);
        end_ = status;
        ended_.notify_all();
    }
    std::optional<TransferStatus> Wait() {
        std::unique_lock<std::mutex> lock(lock_);
        ended_.wait_for(lock, 60s, [&] { return end_.has_value(); });
        return end_;
    }

private:
    std::mutex lock_;
    std::condition_variable ended_;
    std::optional<TransferStatus> end_;
};

TEST(TransferConcurrencyTest, StatusQueriesPausesAndResumesWhileTransferring) {
    ScratchFolder scratch;
    SitePackage package;
    package.chunkSize = 4096;
    for (int i = 0; i < 4; ++i) {
        std::string content(100000 + i * 777, '\0');
        for (std::size_t j = 0; j < content.size(); ++j) {
            content[j] = static_cast<char>(j * 31 + i);
        }
        package.files.push_back({"f" + std::to_string(i), content});
    }
    SiteWriter site(scratch / "site");
    const std::string manifestXml = site.PublishPackage(package);
    ScriptedNodes nodes;
    for (const auto& file : package.files) {
        nodes.Serve("/packages/P/K/V/" + file.path, file.content);
    }
    EngineSettings settings = FastPipelineSettings("manifest.test");
    settings.periodicEventSeconds = 0;
    settings.workerThreads = 4;
    settings.maxRunningWorks = 4;

    RoundRobinHttpSessionFactory sessions;
    PosixSharedFileFactory files;
    FixedPackageFactory packages(LoadPackageXml(manifestXml), &nodes);
    FixedNodeListFactory nodeLists(MakeNodeList({"n0.test", "n1.test"}), &nodes);
    ProportionalGamblingTransferOptimizer optimizer(settings, 7u);
    RecordingAnalyticsManager analytics;
    RecordingLogManager log;
    StandardTransferWorkflowFactory workflows;
    TransferChangeSignal changes;
    TransferBehavior behavior;
    behavior.changeSignal = &changes;
    behavior.settings = settings;
    behavior.sessionFactory = &sessions;
    behavior.requestFactory = &nodes;
    behavior.sharedFileFactory = &files;
    behavior.packageManifestFactory = &packages;
    behavior.nodeListManifestFactory = &nodeLists;
    behavior.optimizer = &optimizer;
    behavior.eventManager = &analytics;
    behavior.workLogManager = &log;
    TransferParams params;
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "P";
    params.packageId = "K";
    std::shared_ptr<StandardTransfer> transfer;
    {
        // Declared after the transfer, so joined before it is destroyed.
        AsioWorkManager workManager(4);
        behavior.workManager = &workManager;
        transfer = std::make_shared<StandardTransfer>(params, behavior, &workflows);
        transfer->Initialize();
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (transfer->GetStatus().state != TransferState::Initialized &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(transfer->Start(scratch.Path()).state, TransferState::Transferring);
        // The updater's monitor watches as well: the pauses and resumes below wake it from the threads that
        // make them, while it queries the transfer.
        OneTransfer operations(*transfer, changes);
        TransferMonitorImpl monitor(&operations);
        EndWaiter waiter;
        monitor.Start();
        monitor.Monitor(params.transferId, &waiter);

        auto ended = [&] {
            const TransferStatus s = transfer->GetStatus();
            return s.state == TransferState::Complete || s.error != TransferError::None ||
                   std::chrono::steady_clock::now() > deadline;
        };
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i) {
            threads.emplace_back([&] {
                while (!ended()) {
                    transfer->GetStatus();
                }
            });
        }
        threads.emplace_back([&] {
            for (int i = 0; i < 20 && !ended(); ++i) {
                transfer->Pause();
                std::this_thread::sleep_for(1ms);
                transfer->Resume();
            }
        });
        for (auto& thread : threads) {
            thread.join();
        }
        const std::optional<TransferStatus> seen = waiter.Wait();
        monitor.Stop();
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(seen->state, TransferState::Complete);
        workManager.Drain();
    }
    const TransferStatus final = transfer->GetStatus();
    ASSERT_EQ(final.state, TransferState::Complete);
    EXPECT_EQ(final.progressBytes, final.totalBytes);
    EXPECT_EQ(final.verifiedBytes, final.totalBytes);

    // Every byte is reported once, by whichever transfer-stream report came next.
    std::uint64_t reported = 0;
    const std::regex bytes(R"re("transferBytes":"([0-9]+)")re");
    for (const Report& report : analytics.reports.Take()) {
        std::smatch match;
        if (report.type == 32 && std::regex_search(report.json, match, bytes)) {
            reported += std::stoull(match[1]);
        }
    }
    EXPECT_EQ(reported, final.transferredBytes);
    for (const auto& file : package.files) {
        EXPECT_EQ(ReadFileText(scratch / file.path), file.content);
    }
}

// The node report looks the optimizer's statistics up while chunk requests choose among hosts that the
// optimizer has not seen yet, which adds them to its map of statistics.
TEST(TransferConcurrencyTest, NodeReportWhileRequestsChooseNodes) {
    TransferServices services;
    ProportionalGamblingTransferOptimizer optimizer(services.behavior.settings, 3u);
    services.behavior.optimizer = &optimizer;
    const auto transfer = std::make_shared<StandardTransfer>(services.Params(), services.behavior,
                                                             &services.workflows, services.clock);
    InitializeTransfer(*transfer, MakePackage({100}), MakeNodeList({"a.test", "b.test"}));

    constexpr int rounds = 200;
    std::thread requests([&] {
        for (int i = 0; i < rounds; ++i) {
            const auto candidates = MakeNodeList({"A.test", "h" + std::to_string(i) + ".test"});
            OptimizedRequestParams params(candidates, TransferParams(), RequestedChunk{"", 0, 4095});
            optimizer.GetNode(params);
            params.SelectedNode = candidates->GetNodes()[0];
            HttpRequestStatus status;
            status.result = HttpRequestResult::Success;
            status.bytesWritten = 4096;
            optimizer.ReportResult(params, std::make_shared<HttpTransferStatusData>("A.test", status, 10));
        }
    });
    for (int i = 0; i < rounds; ++i) {
        EXPECT_TRUE(transfer->GetNodeReport().starts_with("[{\"Node\":\"a.test\""));
    }
    requests.join();
    // The report shows the statistics the optimizer keeps per host, whatever the node list it came from.
    const std::string report = transfer->GetNodeReport();
    EXPECT_NE(report.find("\"Requests\":\"" + std::to_string(rounds) + "\""), std::string::npos) << report;
}

}  // namespace
}  // namespace halcyne
