#include "events/TransferEvent.hpp"

#include <boost/property_tree/ptree.hpp>

#include "events/EventManager.hpp"
#include "events/LogManager.hpp"
#include "manifest/NodeListManifest.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkInterface.hpp"
#include "transfer/TransferStatusImpl.hpp"

namespace halcyne {

using boost::property_tree::ptree;

TransferEvent::TransferEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                             std::string eventName)
    : params_(workInterface->GetParams()),
      behavior_(workInterface->Behavior()),
      nodeList_(workInterface->GetNodeList()),
      eventName_(std::move(eventName)) {}

void TransferEvent::Fire() {
    try {
        SendAnalytics();
    } catch (...) {
    }
    try {
        WriteLog();
    } catch (...) {
    }
}

void TransferEvent::PostRequest(std::int32_t stream, const OutputManifest& request) {
    EventManager* manager = behavior_.eventManager;
    if (manager == nullptr) {
        return;
    }
    auto work = manager->CreateEventWork(stream);
    request.Save(work->Tree());
    manager->Submit(std::move(work));
}

void TransferEvent::WriteLog() {
    WorkLogManager* log = behavior_.workLogManager;
    if (log == nullptr) {
        return;
    }
    auto work = log->CreateEventWork(LogLevel::TransferEvent);
    work->Tree().put("event", eventName_);
    ptree params;
    params_.Describe(params);
    work->Tree().add_child("params", params);
    log->Submit(std::move(work));
}

void TransferEvent::AppendNodeReports(TrackEventWork& work) {
    if (!nodeList_) {
        return;
    }
    for (const auto& node : nodeList_->GetNodes()) {
        const auto statistics = node->GetStatistics();
        std::uint64_t ms = 0;
        std::uint64_t bytes = 0;
        if (statistics) {
            ms = statistics->totalTimeMs.TakeDelta();
            bytes = statistics->totalBytes.TakeDelta();
        }
        const OptimizerAnalyticsRequest request(params_, bytes, ms, node->GetHost());
        ptree& child = work.Tree().push_back(ptree::value_type("", ptree()))->second;
        request.Save(child);
    }
}

void TransferEvent::PostArray(const OutputManifest* first) {
    EventManager* manager = behavior_.eventManager;
    if (manager == nullptr) {
        return;
    }
    auto work = manager->CreateEventWork(AnalyticsManager::EventStream);
    if (first != nullptr) {
        ptree& child = work->Tree().push_back(ptree::value_type("", ptree()))->second;
        first->Save(child);
    }
    AppendNodeReports(*work);
    manager->Submit(std::move(work));
}

SimpleTransferEvent::SimpleTransferEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                         std::string eventName, std::string counterName)
    : TransferEvent(workInterface, std::move(eventName)), simpleRequest_(params_, std::move(counterName)) {}

void SimpleTransferEvent::SendAnalytics() {
    PostRequest(AnalyticsManager::EventStream, simpleRequest_);
}

TransferStateEvent::TransferStateEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                       std::string eventName, std::string counterName, TransferState state,
                                       std::uint64_t bytes, std::uint64_t durationMs)
    : SimpleTransferEvent(workInterface, std::move(eventName), std::move(counterName)),
      transferRequest_(params_, state, bytes, durationMs) {}

void TransferStateEvent::SendAnalytics() {
    PostRequest(AnalyticsManager::EventStream, simpleRequest_);
    PostRequest(AnalyticsManager::TransferStream, transferRequest_);
}

ProgressDeltas::ProgressDeltas(TransferStatusImpl& progress)
    : bytes(progress.TakeTransferredDelta()), durationMs(progress.TakeTransferTimeDelta()) {}

TransferEndEvent::TransferEndEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                   std::string eventName, std::string counterName,
                                   TransferStatusImpl& progress, const TransferState* state)
    : TransferEndEvent(workInterface, std::move(eventName), std::move(counterName),
                       state != nullptr ? *state : progress.GetState(), ProgressDeltas(progress)) {}

TransferEndEvent::TransferEndEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                   std::string eventName, std::string counterName, TransferState state,
                                   ProgressDeltas deltas)
    : TransferStateEvent(workInterface, std::move(eventName), std::move(counterName), state, deltas.bytes,
                         deltas.durationMs) {}

void TransferEndEvent::SendAnalytics() {
    PostRequest(AnalyticsManager::TransferStream, transferRequest_);
    PostArray(&simpleRequest_);
}

TransferErrorEvent::TransferErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                       std::string eventName, std::string counterName,
                                       TransferStatusImpl& progress,
                                       const std::shared_ptr<const TransferStatusData>& data)
    : TransferErrorEvent(workInterface, std::move(eventName), std::move(counterName), progress.GetState(),
                         ProgressDeltas(progress), data ? data->ToErrorString() : std::string()) {}

TransferErrorEvent::TransferErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                       std::string eventName, std::string counterName, TransferState state,
                                       ProgressDeltas deltas, std::string errorText)
    : TransferEvent(workInterface, std::move(eventName)),
      errorRequest_(params_, std::move(counterName), std::move(errorText)),
      transferRequest_(params_, state, deltas.bytes, deltas.durationMs) {}

void TransferErrorEvent::SendAnalytics() {
    if (transferRequest_.TransferBytes() != 0 || transferRequest_.DurationMs() != 0) {
        PostRequest(AnalyticsManager::TransferStream, transferRequest_);
    }
    PostArray(&errorRequest_);
}

TransferPeriodicEvent::TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                             TransferStatusImpl& progress)
    : TransferPeriodicEvent(workInterface, progress.GetState(), ProgressDeltas(progress)) {}

TransferPeriodicEvent::TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                             TransferState state, ProgressDeltas deltas)
    : TransferEvent(workInterface, "PeriodicUpdate"),
      transferRequest_(params_, state, deltas.bytes, deltas.durationMs) {}

void TransferPeriodicEvent::SendAnalytics() {
    PostRequest(AnalyticsManager::TransferStream, transferRequest_);
    PostArray(nullptr);
}

TransferInitializeEvent::TransferInitializeEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : SimpleTransferEvent(wi, "Initialize", "numInitializes") {}
TransferInitializeCompleteEvent::TransferInitializeCompleteEvent(
    const std::shared_ptr<TransferWorkInterface>& wi)
    : SimpleTransferEvent(wi, "InitializeComplete", "numInitializeCompletes") {}
TransferPauseEvent::TransferPauseEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : SimpleTransferEvent(wi, "Pause", "numPauses") {}
TransferResumeEvent::TransferResumeEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : SimpleTransferEvent(wi, "Resume", "numResumes") {}
TransferRetryEvent::TransferRetryEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : SimpleTransferEvent(wi, "Retry", "numRetries") {}
TransferStartEvent::TransferStartEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : TransferStateEvent(wi, "Start", "numStarts", TransferState::Transferring, 0, 0) {}
TransferRestoreEvent::TransferRestoreEvent(const std::shared_ptr<TransferWorkInterface>& wi)
    : TransferStateEvent(wi, "Restore", "numRestores", TransferState::Initializing, 0, 0) {}
TransferCompleteEvent::TransferCompleteEvent(const std::shared_ptr<TransferWorkInterface>& wi,
                                             TransferStatusImpl& progress)
    : TransferEndEvent(wi, "Complete", "numCompletes", progress) {}
TransferCancelEvent::TransferCancelEvent(const std::shared_ptr<TransferWorkInterface>& wi,
                                         TransferStatusImpl& progress)
    : TransferEndEvent(wi, "Cancel", "numCancels", progress) {}
namespace {
constexpr TransferState SuspendedState = TransferState::Suspended;
}
TransferSuspendEvent::TransferSuspendEvent(const std::shared_ptr<TransferWorkInterface>& wi,
                                           TransferStatusImpl& progress)
    : TransferEndEvent(wi, "Suspend", "numSuspends", progress, &SuspendedState) {}
TransferRetryableErrorEvent::TransferRetryableErrorEvent(
    const std::shared_ptr<TransferWorkInterface>& wi, TransferStatusImpl& progress,
    const std::shared_ptr<const TransferStatusData>& data)
    : TransferErrorEvent(wi, "RetryableError", "numRetryableErrors", progress, data) {}
TransferFatalErrorEvent::TransferFatalErrorEvent(const std::shared_ptr<TransferWorkInterface>& wi,
                                                 TransferStatusImpl& progress,
                                                 const std::shared_ptr<const TransferStatusData>& data)
    : TransferErrorEvent(wi, "FatalError", "numFatalErrors", progress, data) {}

}  // namespace halcyne
