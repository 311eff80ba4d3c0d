// A stand-in for the transfer while the download pipeline is tested on its own: it implements the transfer
// work interface and the progress updater, keeps the manifests the way the transfer does (a "?" version
// becomes the manifest's), records the callbacks, and runs a transfer's tree in a StandardWorkflow over the
// real services (PipelineServices). Tests and benchmarks use it from their own thread; the works call it
// from work-manager threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/EngineSettings.hpp"
#include "file/FileIdentity.hpp"
#include "file/SharedFileFactory.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/HttpProxy.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "optimizer/ExcludedNodes.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferWorkInterface.hpp"
#include "work/AsioWorkManager.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne::test {

// Manifests from their XML text (as SiteWriter writes it); throw as the loaders do.
std::shared_ptr<PackageManifest> LoadPackageXml(const std::string& xml);
std::shared_ptr<NodeListManifest> LoadNodeListXml(const std::string& xml);

// Settings for tests against local servers: time-outs short enough that a stall costs about a second.
EngineSettings FastPipelineSettings(const std::string& manifestHost);

// The engine's services for one test, built the way the engine builds them. `fileFactory` and
// `requestFactory` replace the real ones when given; `workLog` is the work log manager (none when null).
// None of them is owned.
class PipelineServices {
public:
    explicit PipelineServices(EngineSettings settings, SharedFileFactory* fileFactory = nullptr,
                              HttpRequestFactory* requestFactory = nullptr,
                              WorkLogManager* workLog = nullptr);
    ~PipelineServices();

    const TransferBehavior& Behavior() const { return behavior_; }
    ProportionalGamblingTransferOptimizer& Optimizer() { return optimizer_; }

private:
    EngineSettings settings_;
    EmptyHttpProxyFactory proxyFactory_;
    CurlHttpRequestFactory requestFactory_;
    RoundRobinHttpSessionFactory sessionFactory_;
    PosixSharedFileFactory fileFactory_;
    XmlHttpPackageManifestFactory packageFactory_;
    XmlHttpNodeListManifestFactory nodeListFactory_;
    ProportionalGamblingTransferOptimizer optimizer_;
    AsioWorkManager workManager_;
    TransferBehavior behavior_;
};

class HarnessTransfer : public TransferWorkInterface,
                        public TransferProgressUpdater,
                        public WorkflowRetryableErrorCallback,
                        public std::enable_shared_from_this<HarnessTransfer> {
public:
    HarnessTransfer(TransferBehavior behavior, TransferParams params);
    ~HarnessTransfer() override;

    // TransferWorkInterface
    TransferParams GetParams() override;
    const TransferParams& Params() override;
    const TransferBehavior& Behavior() override { return behavior_; }
    std::shared_ptr<PackageManifest> GetPackage() override;
    std::shared_ptr<NodeListManifest> GetNodeList() override;
    std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() override;
    std::shared_ptr<ExcludedNodes> GetExcludedNodes() override { return excludedNodes_; }
    WorkCompleteCallback* GetTransferCallback() override { return &transferCallback_; }
    WorkCompleteCallback* GetPackageCallback() override { return &packageCallback_; }
    WorkCompleteCallback* GetNodeListCallback() override { return &nodeListCallback_; }
    WorkCompleteCallback* GetInitializeCallback() override { return &initializeCallback_; }
    WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return this; }
    void OnFileCreated(const std::string& name) override;
    void OnRunFileVerified(const FileIdentity& identity) override;

    // TransferProgressUpdater
    void AddProgress(const std::uint64_t& bytes) override { progress_ += static_cast<std::int64_t>(bytes); }
    void RemoveProgress(const std::uint64_t& bytes) override {
        progress_ -= static_cast<std::int64_t>(bytes);
    }
    void AddVerified(const std::uint64_t& bytes) override { verified_ += bytes; }
    void AddTransferred(const std::uint64_t& bytes) override { transferred_ += bytes; }

    void OnWorkflowRetryableError(std::shared_ptr<Workflow> workflow, std::shared_ptr<Work> work,
                                  const WorkStatus& status) override;

    // Gives the transfer these manifests as if they had been acquired.
    void SetPackage(std::shared_ptr<PackageManifest> package);
    void SetNodeList(std::shared_ptr<NodeListManifest> nodeList);

    // Builds a TransferPackageWork tree and starts it in a workflow (maxRunningWorks at a time).
    std::shared_ptr<StandardWorkflow> Start();
    // Starts a workflow over another root of this transfer's works, whose completion is taken as the
    // transfer's.
    std::shared_ptr<StandardWorkflow> Start(std::shared_ptr<Work> root);
    // Waits until the root has completed or the workflow waits on a retryable error (then nullopt is not
    // returned: the retryable status is). nullopt when neither happened within `timeout`.
    std::optional<WorkStatus> WaitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Forgets a reported retryable error, before Retry.
    void ClearRetryable();
    // Lets the workflow, which waits after a retryable error, go on as the updater does: forgets the error,
    // retries and waits for the end. A work that the first error interrupted may end with its own retryable
    // error after the retry has begun, which makes the workflow wait again: that is retried too, up to
    // `rounds` times in all. The last end (nullopt on a time-out, or when Retry is refused).
    std::optional<WorkStatus> RetryUntilEnd(Workflow& workflow, int rounds = 3);

    std::int64_t Progress() const { return progress_.load(); }
    std::uint64_t Verified() const { return verified_.load(); }
    std::uint64_t Transferred() const { return transferred_.load(); }
    bool Initialized() const { return initialized_.load(); }
    std::vector<std::string> CreatedFiles() const;
    std::optional<WorkStatus> Completion() const;
    std::optional<WorkStatus> Retryable() const;
    // The run file's identity as the tree reported it, if it did.
    std::optional<FileIdentity> RunFile() const;
    int RetryableErrors() const { return retryableErrors_.load(); }

private:
    struct Callback : WorkCompleteCallback {
        Callback(HarnessTransfer* owner, void (HarnessTransfer::*handler)(const WorkStatus&))
            : owner(owner), handler(handler) {}
        void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus& status) override {
            (owner->*handler)(status);
        }
        HarnessTransfer* owner;
        void (HarnessTransfer::*handler)(const WorkStatus&);
    };
    std::shared_ptr<StandardWorkflow> StartWorkflow(std::shared_ptr<Work> root);
    void OnPackageAcquire(const WorkStatus& status);
    void OnNodeListAcquire(const WorkStatus& status);
    void OnInitialize(const WorkStatus& status);
    void OnTransferComplete(const WorkStatus& status);

    const TransferBehavior behavior_;
    const std::shared_ptr<ExcludedNodes> excludedNodes_ = std::make_shared<ExcludedNodes>();  // guards itself
    Callback transferCallback_{this, &HarnessTransfer::OnTransferComplete};
    Callback packageCallback_{this, &HarnessTransfer::OnPackageAcquire};
    Callback nodeListCallback_{this, &HarnessTransfer::OnNodeListAcquire};
    Callback initializeCallback_{this, &HarnessTransfer::OnInitialize};

    // guards params_, package_, nodeList_, created_, completion_, retryable_, runFile_
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TransferParams params_;
    std::shared_ptr<PackageManifest> package_;
    std::shared_ptr<NodeListManifest> nodeList_;
    std::vector<std::string> created_;
    std::optional<WorkStatus> completion_;
    std::optional<WorkStatus> retryable_;
    std::optional<FileIdentity> runFile_;
    std::atomic<std::int64_t> progress_{0};
    std::atomic<std::uint64_t> verified_{0};
    std::atomic<std::uint64_t> transferred_{0};
    std::atomic<bool> initialized_{false};
    std::atomic<int> retryableErrors_{0};
};

}  // namespace halcyne::test
