// The progress object of one transfer generation. The works add bytes through TransferProgressUpdater from
// any work-manager thread without a lock; the transfer reads and changes state, error and retrying flag and
// takes snapshots only under its own lock; events take the reported deltas from any thread (each counter
// serialises that under its own mutex, so every byte and millisecond is reported once).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "common/MonotonicClock.hpp"
#include "common/TransferParams.hpp"
#include "optimizer/DeltaCounter.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "transfer/TransferStatus.hpp"

namespace halcyne {

class PackageManifest;

class TransferStatusImpl : public TransferProgressUpdater {
public:
    // `params` is not owned: it is the params of the same transfer data and outlives this object. An empty
    // clock is MonotonicMilliseconds. A speed window of 0 seconds is taken as 1.
    TransferStatusImpl(const TransferParams* params, unsigned speedWindowSeconds, unsigned remainingRecalcMs,
                       MillisecondClock clock = {});

    void AddProgress(const std::uint64_t& bytes) override;
    void RemoveProgress(const std::uint64_t& bytes) override;
    void AddVerified(const std::uint64_t& bytes) override;
    void AddTransferred(const std::uint64_t& bytes) override;
    void AddChecking(const std::uint64_t& bytes) override;
    void AddChecked(const std::uint64_t& bytes) override;

    // The status now, with speed and estimate. Under the transfer's lock.
    void Snapshot(TransferStatus& out);
    // The package's run path and total size. Under the transfer's lock.
    void SetPackage(const std::shared_ptr<const PackageManifest>& package);
    // The run file as it was verified and made executable. Under the transfer's lock.
    void SetRunFile(const FileIdentity& identity) { status_.runFile = identity; }

    // Under the transfer's lock.
    TransferState GetState() const { return status_.state; }
    void SetState(TransferState state) { status_.state = state; }
    TransferError GetError() const { return status_.error; }
    void SetError(TransferError error) { status_.error = error; }
    bool IsRetrying() const { return status_.retrying; }
    void SetRetrying(bool retrying) { status_.retrying = retrying; }
    void SetErrorCause(std::string cause) { status_.errorCause = std::move(cause); }

    // The reported increases, for the events; any thread.
    std::uint64_t TakeTransferredDelta() { return transferredBytes_.TakeDelta(); }
    std::uint64_t TakeTransferTimeDelta() { return transferTimeMs_.TakeDelta(); }
    std::uint64_t PeekTransferTimeDelta() { return transferTimeMs_.PeekDelta(); }

    std::uint64_t TransferTimeMs() const { return transferTimeMs_.Get(); }

private:
    struct Sample {
        std::uint32_t timeMs;
        std::uint64_t transferred;
    };

    std::int32_t EstimateSecondsRemaining(const TransferStatus& out, std::uint32_t now);
    std::uint64_t EstimateSpeed(const TransferStatus& out, std::uint32_t now);

    const TransferParams* const params_;
    // status_ and every field after the counters are touched only under the transfer's lock.
    TransferStatus status_;
    // The counters that every chunk work adds to each sit on a cache line of their own; transferTimeMs_ is
    // added to only under the transfer's lock.
    alignas(64) std::atomic<std::uint64_t> progress_{0};
    alignas(64) std::atomic<std::uint64_t> verified_{0};
    std::atomic<std::uint64_t> checking_{0};  // once per check, not per block: no line of its own
    std::atomic<std::uint64_t> checked_{0};
    alignas(64) DeltaCounter<std::uint64_t> transferredBytes_;
    alignas(64) DeltaCounter<std::uint64_t> transferTimeMs_;
    const unsigned speedWindowSeconds_;
    const unsigned remainingRecalcMs_;
    const MillisecondClock clock_;
    std::deque<Sample> samples_;
    bool wasTransferring_ = false;
    std::int32_t cachedSecondsRemaining_ = -1;
    std::uint64_t lastEstimateTime_ = 0;
};

}  // namespace halcyne
