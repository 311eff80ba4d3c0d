// The composition root of the download library: owns every long-lived service by value, wires them in a
// fixed order and offers three operations on transfers, callable from any thread (the engine takes no lock
// of its own). Destruction suspends every transfer first, then tears the services down in reverse order of
// construction: the transfer work manager is joined before anything its works use is destroyed, and the
// analytics and log managers before the factories they use.
#pragma once

#include <functional>
#include <string>

#include "common/EngineSettings.hpp"
#include "events/JsonHttpAnalyticsManager.hpp"
#include "events/JsonWorkLogManager.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "http/CurlHttpRequestFactory.hpp"
#include "http/RateLimit.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "http/posix/EnvironmentHttpProxyFactory.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/NodeListManifestFactory.hpp"
#include "manifest/PackageManifestFactory.hpp"
#include "manifest/TransferManifest.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "transfer/StandardTransferWorkflowFactory.hpp"
#include "transfer/TransferChangeSignal.hpp"
#include "transfer/TransferFactory.hpp"
#include "transfer/TransferManager.hpp"
#include "transfer/TransferStatus.hpp"
#include "work/AsioWorkManager.hpp"

namespace halcyne {

class DownloadEngine {
public:
    // `logHeader`, when given, is the first line of the work log (JSON text ending in a line feed).
    explicit DownloadEngine(const EngineSettings& settings, std::string logHeader = {});
    DownloadEngine(const DownloadEngine&) = delete;
    DownloadEngine& operator=(const DownloadEngine&) = delete;
    // Shuts the transfer manager down (every transfer suspended or cancelled and detached); the members then
    // go in reverse order.
    ~DownloadEngine();

    // Creates and initializes a new transfer; state Absent with error InternalError when none was made.
    TransferStatus StartTransfer(const std::string& partnerId, const std::string& packageId,
                                 const std::string& versionId);
    // Starts a prepared transfer (restoring a stored one when the id is not in memory) into a folder.
    TransferStatus StartTransferInto(const std::string& transferId, const std::string& destination);
    // The current status (which may fire the periodic event); state Absent for an unknown id.
    TransferStatus GetTransferStatus(const std::string& transferId);
    // Lets a transfer that waits after a retryable error go on where it stopped: the works that failed run
    // again, nothing already verified is fetched again. The status unchanged when the transfer does not wait
    // for a retry; state Absent for an unknown id.
    TransferStatus RetryTransfer(const std::string& transferId);
    // Pauses a transfer that initializes or transfers (nothing is fetched until it resumes), and lets a
    // paused one go on; the status unchanged for any other state; state Absent for an unknown id.
    TransferStatus PauseTransfer(const std::string& transferId);
    TransferStatus ResumeTransfer(const std::string& transferId);
    // Removes a complete transfer's stored record (its files stay); nothing for any other state or id.
    void ForgetTransfer(const std::string& transferId);

    // `listener` is called after any transfer's state or error has changed and its event has been fired, on
    // the thread that changed it, with no lock of the transfer held; it must not call the engine. One
    // listener: this replaces the previous one, and an empty function removes it (waiting for a call under
    // way). Any thread but the listener's.
    void SetChangeListener(std::function<void()> listener);

    // The engine's transfer manager and behaviour, for callers that reach a transfer directly (pause,
    // resume, cancel, retry).
    TransferManager& GetTransferManager() { return transferManager_; }
    const TransferBehavior& GetBehavior() const { return behavior_; }

private:
    static TransferBehavior MakeBehavior(const EngineSettings& settings, DownloadEngine& engine);
    // The operation on the transfer with this id (restored from the store when it is not in memory); state
    // Absent for an unknown id.
    TransferStatus OnTransfer(const std::string& transferId, TransferStatus (Transfer::*operation)());

    // In this order: each member is built from those before it and destroyed before them.
    TransferChangeSignal changeSignal_;  // first: transfers notify it until the last of them is gone
    RoundRobinHttpSessionFactory sessionFactory_;
    EnvironmentHttpProxyFactory proxyFactory_;
    RateLimit rateLimit_;  // every request's received bytes, under settings.maxDownloadRate
    CurlHttpRequestFactory requestFactory_;
    PosixSharedFileFactory fileFactory_;
    ManifestVerifier manifestVerifier_;
    ManifestReplayGuard replayGuard_;
    XmlHttpPackageManifestFactory packageManifestFactory_;
    XmlHttpNodeListManifestFactory nodeListManifestFactory_;
    StandardTransferWorkflowFactory workflowFactory_;
    JsonTempFileManifestStore<TransferManifest> manifestStore_;
    StoredTransferFactory transferFactory_;
    TempFileTransferManager transferManager_;
    ProportionalGamblingTransferOptimizer optimizer_;
    JsonHttpAnalyticsManager analyticsManager_;
    JsonWorkLogManager workLogManager_;
    AsioWorkManager transferWorkManager_;
    TransferBehavior behavior_;
};

}  // namespace halcyne
