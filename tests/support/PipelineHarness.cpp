#include "support/PipelineHarness.hpp"

#include "manifest/NodeListManifest.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/SetupWorks.hpp"

namespace halcyne::test {

std::shared_ptr<PackageManifest> LoadPackageXml(const std::string& xml) {
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto package = std::make_shared<StandardPackageManifest>();
    package->Load(tree);
    return package;
}

std::shared_ptr<NodeListManifest> LoadNodeListXml(const std::string& xml) {
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Load(tree);
    return list;
}

EngineSettings FastPipelineSettings(const std::string& manifestHost) {
    EngineSettings settings;
    settings.manifestHost = manifestHost;
    settings.manifestConnectTimeout = 2;
    settings.manifestTimeout = 5;
    settings.minConnectTimeout = 1;
    settings.maxConnectTimeout = 1;
    settings.probeConnectTimeout = 1;
    settings.minLowSpeedTime = 1;
    settings.maxLowSpeedTime = 1;
    settings.probeLowSpeedTime = 1;
    settings.minRequestTimeout = 2;
    settings.probeMinRequestTimeout = 2;
    return settings;
}

PipelineServices::PipelineServices(EngineSettings settings, SharedFileFactory* fileFactory,
                                   HttpRequestFactory* requestFactory, WorkLogManager* workLog)
    : settings_(std::move(settings)),
      requestFactory_(&proxyFactory_),
      packageFactory_(settings_.manifestHost, &requestFactory_, settings_.manifestConnectTimeout,
                      settings_.manifestTimeout, nullptr, nullptr, settings_.maxPackageManifestBytes,
                      settings_.maxSignatureBytes),
      nodeListFactory_(settings_.manifestHost, &requestFactory_, settings_.manifestConnectTimeout,
                       settings_.manifestTimeout, nullptr, settings_.maxNodeListBytes,
                       settings_.maxSignatureBytes,
                       static_cast<std::size_t>(std::max(settings_.maxNodeListNodes, 0))),
      optimizer_(settings_, 12345u),
      workManager_(static_cast<unsigned>(std::max(settings_.workerThreads, 1))) {
    behavior_.settings = settings_;
    behavior_.sessionFactory = &sessionFactory_;
    behavior_.requestFactory = requestFactory != nullptr ? requestFactory : &requestFactory_;
    behavior_.sharedFileFactory = fileFactory != nullptr ? fileFactory : &fileFactory_;
    behavior_.packageManifestFactory = &packageFactory_;
    behavior_.nodeListManifestFactory = &nodeListFactory_;
    behavior_.optimizer = &optimizer_;
    behavior_.workManager = &workManager_;
    behavior_.workLogManager = workLog;
}

PipelineServices::~PipelineServices() = default;

HarnessTransfer::HarnessTransfer(TransferBehavior behavior, TransferParams params)
    : behavior_(std::move(behavior)), params_(std::move(params)) {}

HarnessTransfer::~HarnessTransfer() = default;

TransferParams HarnessTransfer::GetParams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return params_;
}

const TransferParams& HarnessTransfer::Params() {
    return params_;
}

std::shared_ptr<PackageManifest> HarnessTransfer::GetPackage() {
    std::lock_guard<std::mutex> lock(mutex_);
    return package_;
}

std::shared_ptr<NodeListManifest> HarnessTransfer::GetNodeList() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nodeList_;
}

std::shared_ptr<TransferProgressUpdater> HarnessTransfer::GetProgressUpdater() {
    return std::shared_ptr<TransferProgressUpdater>(shared_from_this(), this);
}

void HarnessTransfer::OnFileCreated(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    created_.push_back(name);
}

void HarnessTransfer::OnRunFileVerified(const FileIdentity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    runFile_ = identity;
}

std::optional<FileIdentity> HarnessTransfer::RunFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runFile_;
}

void HarnessTransfer::SetPackage(std::shared_ptr<PackageManifest> package) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (package && params_.versionId == NoValueMarker) {
        params_.versionId = package->GetVersionId();
    }
    package_ = std::move(package);
}

void HarnessTransfer::SetNodeList(std::shared_ptr<NodeListManifest> nodeList) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodeList_ = std::move(nodeList);
}

void HarnessTransfer::OnPackageAcquire(const WorkStatus& status) {
    if (status.result != WorkResult::Success) {
        return;
    }
    if (auto data = std::dynamic_pointer_cast<PackageStatusData>(status.data)) {
        SetPackage(std::const_pointer_cast<PackageManifest>(data->package));
    }
}

void HarnessTransfer::OnNodeListAcquire(const WorkStatus& status) {
    if (status.result != WorkResult::Success) {
        return;
    }
    if (auto data = std::dynamic_pointer_cast<NodeListStatusData>(status.data)) {
        SetNodeList(std::const_pointer_cast<NodeListManifest>(data->nodeList));
    }
}

void HarnessTransfer::OnInitialize(const WorkStatus& status) {
    if (status.result == WorkResult::Success) {
        initialized_ = true;
    }
}

void HarnessTransfer::OnTransferComplete(const WorkStatus& status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        completion_ = status;
    }
    changed_.notify_all();
}

void HarnessTransfer::OnWorkflowRetryableError(std::shared_ptr<Workflow>, std::shared_ptr<Work>,
                                               const WorkStatus& status) {
    ++retryableErrors_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retryable_ = status;
    }
    changed_.notify_all();
}

std::shared_ptr<StandardWorkflow> HarnessTransfer::Start() {
    return StartWorkflow(std::make_shared<TransferPackageWork>(shared_from_this()));
}

std::shared_ptr<StandardWorkflow> HarnessTransfer::Start(std::shared_ptr<Work> root) {
    root->AddWorkCompleteCallback(&transferCallback_);
    return StartWorkflow(std::move(root));
}

std::shared_ptr<StandardWorkflow> HarnessTransfer::StartWorkflow(std::shared_ptr<Work> root) {
    auto workflow = MakeStandardWorkflow(
        root, behavior_.workManager, static_cast<unsigned>(std::max(behavior_.settings.maxRunningWorks, 1)));
    root->SetWorkflow(workflow);
    workflow->AddRetryableErrorCallback(this);
    workflow->Start();
    return workflow;
}

std::optional<WorkStatus> HarnessTransfer::WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return completion_.has_value() || retryable_.has_value(); });
    if (completion_) {
        return completion_;
    }
    return retryable_;
}

void HarnessTransfer::ClearRetryable() {
    std::lock_guard<std::mutex> lock(mutex_);
    retryable_.reset();
}

std::optional<WorkStatus> HarnessTransfer::RetryUntilEnd(Workflow& workflow, int rounds) {
    std::optional<WorkStatus> end;
    for (int round = 0; round < rounds; ++round) {
        ClearRetryable();
        if (!workflow.Retry()) {
            return std::nullopt;
        }
        end = WaitForEnd();
        if (!end || end->result != WorkResult::RetryableError) {
            break;
        }
    }
    return end;
}

std::vector<std::string> HarnessTransfer::CreatedFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
}

std::optional<WorkStatus> HarnessTransfer::Completion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completion_;
}

std::optional<WorkStatus> HarnessTransfer::Retryable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return retryable_;
}

}  // namespace halcyne::test
