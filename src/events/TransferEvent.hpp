// Transfer events: what a transfer reports on each change of state and periodically. The transfer builds an
// event under its own lock (the event copies params, behaviour and node list and takes the progress deltas
// then) and fires it on the same thread after releasing the lock. Firing only builds trees and hands works to
// the analytics and work log managers; it never calls back into the transfer and never throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/TransferParams.hpp"
#include "events/EventAnalyticsRequest.hpp"
#include "events/TransferAnalyticsRequest.hpp"
#include "pipeline/TransferBehavior.hpp"

namespace halcyne {

class NodeListManifest;
class OutputManifest;
class TrackEventWork;
class TransferStatusData;
class TransferStatusImpl;
class TransferWorkInterface;

// The progress increases an event reports, taken at construction: bytes first, then transfer time. Taking
// moves the counters' marks, so each byte and millisecond is reported by one event only.
struct ProgressDeltas {
    explicit ProgressDeltas(TransferStatusImpl& progress);
    std::uint64_t bytes;
    std::uint64_t durationMs;
};

class TransferEvent {
public:
    TransferEvent(const TransferEvent&) = delete;
    TransferEvent& operator=(const TransferEvent&) = delete;
    virtual ~TransferEvent() = default;

    // SendAnalytics, then WriteLog. A failure in either is swallowed: reports are never worth a transfer.
    virtual void Fire();
    virtual void SendAnalytics() = 0;
    // One event work of the stream whose tree is the request.
    virtual void PostRequest(std::int32_t stream, const OutputManifest& request);
    // A level-1 entry: "event" = name, "params" = the params' description.
    virtual void WriteLog();

    const TransferParams& Params() const { return params_; }
    const std::string& EventName() const { return eventName_; }

protected:
    TransferEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName);

    // One optimizer request per node of the node list: the node's byte and request-time increases.
    void AppendNodeReports(TrackEventWork& work);
    // An event-stream work whose tree is an array: `first` (when given), then the node reports.
    void PostArray(const OutputManifest* first);

    const TransferParams params_;
    const TransferBehavior behavior_;
    const std::shared_ptr<NodeListManifest> nodeList_;
    const std::string eventName_;
};

class SimpleTransferEvent : public TransferEvent {
public:
    void SendAnalytics() override;

protected:
    SimpleTransferEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                        std::string counterName);

    const SimpleEventAnalyticsRequest simpleRequest_;
};

class TransferStateEvent : public SimpleTransferEvent {
public:
    void SendAnalytics() override;

protected:
    TransferStateEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                       std::string counterName, TransferState state, std::uint64_t bytes,
                       std::uint64_t durationMs);

    const TransferAnalyticsRequest transferRequest_;
};

class TransferEndEvent : public TransferStateEvent {
public:
    void SendAnalytics() override;

protected:
    // The progress object's state (or `state` when given) and its taken deltas.
    TransferEndEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                     std::string counterName, TransferStatusImpl& progress,
                     const TransferState* state = nullptr);

private:
    TransferEndEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                     std::string counterName, TransferState state, ProgressDeltas deltas);
};

class TransferErrorEvent : public TransferEvent {
public:
    void SendAnalytics() override;

protected:
    TransferErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                       std::string counterName, TransferStatusImpl& progress,
                       const std::shared_ptr<const TransferStatusData>& data);

    const ErrorAnalyticsRequest errorRequest_;
    const TransferAnalyticsRequest transferRequest_;

private:
    TransferErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, std::string eventName,
                       std::string counterName, TransferState state, ProgressDeltas deltas,
                       std::string errorText);
};

class TransferPeriodicEvent : public TransferEvent {
public:
    TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                          TransferStatusImpl& progress);
    void SendAnalytics() override;
    void WriteLog() override {}

private:
    TransferPeriodicEvent(const std::shared_ptr<TransferWorkInterface>& workInterface, TransferState state,
                          ProgressDeltas deltas);

    const TransferAnalyticsRequest transferRequest_;
};

class TransferInitializeEvent : public SimpleTransferEvent {
public:
    explicit TransferInitializeEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferInitializeCompleteEvent : public SimpleTransferEvent {
public:
    explicit TransferInitializeCompleteEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferPauseEvent : public SimpleTransferEvent {
public:
    explicit TransferPauseEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferResumeEvent : public SimpleTransferEvent {
public:
    explicit TransferResumeEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferRetryEvent : public SimpleTransferEvent {
public:
    explicit TransferRetryEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferStartEvent : public TransferStateEvent {
public:
    explicit TransferStartEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferRestoreEvent : public TransferStateEvent {
public:
    explicit TransferRestoreEvent(const std::shared_ptr<TransferWorkInterface>& workInterface);
};

class TransferCompleteEvent : public TransferEndEvent {
public:
    TransferCompleteEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                          TransferStatusImpl& progress);
};

class TransferCancelEvent : public TransferEndEvent {
public:
    TransferCancelEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                        TransferStatusImpl& progress);
};

class TransferSuspendEvent : public TransferEndEvent {
public:
    TransferSuspendEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                         TransferStatusImpl& progress);
};

class TransferRetryableErrorEvent : public TransferErrorEvent {
public:
    TransferRetryableErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                                TransferStatusImpl& progress,
                                const std::shared_ptr<const TransferStatusData>& data);
};

class TransferFatalErrorEvent : public TransferErrorEvent {
public:
    TransferFatalErrorEvent(const std::shared_ptr<TransferWorkInterface>& workInterface,
                            TransferStatusImpl& progress,
                            const std::shared_ptr<const TransferStatusData>& data);
};

}  // namespace halcyne
