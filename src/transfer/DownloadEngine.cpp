#include "transfer/DownloadEngine.hpp"

#include <algorithm>
#include <utility>

#include "common/NoValueMarker.hpp"

namespace halcyne {

DownloadEngine::DownloadEngine(const EngineSettings& settings, std::string logHeader)
    : changeSignal_(),
      proxyFactory_(),
      rateLimit_(settings.maxDownloadRate),
      requestFactory_(&proxyFactory_, settings.caBundle, &rateLimit_),
      manifestVerifier_(settings.manifestKeys),
      replayGuard_(settings.manifestSequencesFile),
      packageManifestFactory_(settings.manifestHost, &requestFactory_, settings.manifestConnectTimeout,
                              settings.manifestTimeout, &manifestVerifier_, &fileFactory_,
                              settings.maxPackageManifestBytes, settings.maxSignatureBytes, &replayGuard_),
      nodeListManifestFactory_(
          settings.manifestHost, &requestFactory_, settings.manifestConnectTimeout, settings.manifestTimeout,
          &manifestVerifier_, settings.maxNodeListBytes, settings.maxSignatureBytes,
          static_cast<std::size_t>(std::max(settings.maxNodeListNodes, 0)), &replayGuard_),
      manifestStore_(settings.transfersFolder, &fileFactory_),
      transferFactory_(&manifestStore_, &workflowFactory_),
      transferManager_(&manifestStore_, &transferFactory_),
      optimizer_(settings),
      analyticsManager_(&requestFactory_, sessionFactory_.CreateSession(), settings),
      workLogManager_(settings.logLevel, settings.logsFolder, &fileFactory_, {}, std::move(logHeader)),
      transferWorkManager_(static_cast<unsigned>(std::max(settings.workerThreads, 1))),
      behavior_(MakeBehavior(settings, *this)) {
    if (!manifestVerifier_.Configured()) {
        // Said once per run, so that a log shows whether the run trusted unsigned documents.
        const auto entry = workLogManager_.CreateEventWork(LogLevel::ErrorCompletion | LogLevel::Important);
        entry->Tree().put("event", "ManifestsNotVerified");
        entry->Tree().put("params.reason",
                          "no manifest signing key is configured: package manifests and node lists are used "
                          "without verification");
        workLogManager_.Submit(entry);
    }
}

DownloadEngine::~DownloadEngine() {
    transferManager_.Shutdown();
}

TransferBehavior DownloadEngine::MakeBehavior(const EngineSettings& settings, DownloadEngine& engine) {
    TransferBehavior behavior;
    behavior.settings = settings;
    behavior.sessionFactory = &engine.sessionFactory_;
    behavior.requestFactory = &engine.requestFactory_;
    behavior.sharedFileFactory = &engine.fileFactory_;
    behavior.packageManifestFactory = &engine.packageManifestFactory_;
    behavior.nodeListManifestFactory = &engine.nodeListManifestFactory_;
    behavior.transferManager = &engine.transferManager_;
    behavior.optimizer = &engine.optimizer_;
    behavior.eventManager = &engine.analyticsManager_;
    behavior.workLogManager = &engine.workLogManager_;
    behavior.workManager = &engine.transferWorkManager_;
    behavior.changeSignal = &engine.changeSignal_;
    return behavior;
}

void DownloadEngine::SetChangeListener(std::function<void()> listener) {
    changeSignal_.SetListener(std::move(listener));
}

TransferStatus DownloadEngine::StartTransfer(const std::string& partnerId, const std::string& packageId,
                                             const std::string& versionId) {
    TransferParams params;
    params.partnerId = partnerId;
    params.packageId = packageId;
    params.versionId = versionId;
    const auto transfer = transferManager_.CreateTransfer(params, behavior_);
    if (!transfer) {
        return TransferStatus();
    }
    return transfer->Initialize();
}

TransferStatus DownloadEngine::StartTransferInto(const std::string& transferId,
                                                 const std::string& destination) {
    const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
    if (!transfer) {
        return TransferStatus(transferId, TransferState::Absent);
    }
    return transfer->Start(destination);
}

TransferStatus DownloadEngine::OnTransfer(const std::string& transferId,
                                          TransferStatus (Transfer::*operation)()) {
    const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
    if (!transfer) {
        return TransferStatus(transferId, TransferState::Absent);
    }
    return ((*transfer).*operation)();
}

TransferStatus DownloadEngine::GetTransferStatus(const std::string& transferId) {
    return OnTransfer(transferId, &Transfer::GetStatus);
}

TransferStatus DownloadEngine::RetryTransfer(const std::string& transferId) {
    return OnTransfer(transferId, &Transfer::Retry);
}

TransferStatus DownloadEngine::PauseTransfer(const std::string& transferId) {
    return OnTransfer(transferId, &Transfer::Pause);
}

TransferStatus DownloadEngine::ResumeTransfer(const std::string& transferId) {
    return OnTransfer(transferId, &Transfer::Resume);
}

void DownloadEngine::ForgetTransfer(const std::string& transferId) {
    const auto transfer = transferManager_.GetTransfer(transferId, behavior_);
    // Complete is final: a cancel of a complete transfer changes nothing but removes its stored record.
    if (transfer && transfer->GetStatus().state == TransferState::Complete) {
        transfer->Cancel(false);
    }
}

}  // namespace halcyne
