#include "transfer/TransferStatusImpl.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "manifest/PackageManifest.hpp"

namespace halcyne {

TransferStatusImpl::TransferStatusImpl(const TransferParams* params, unsigned speedWindowSeconds,
                                       unsigned remainingRecalcMs, MillisecondClock clock)
    : params_(params),
      status_(params->transferId, TransferState::Initializing),
      speedWindowSeconds_(std::max(speedWindowSeconds, 1u)),
      remainingRecalcMs_(remainingRecalcMs),
      clock_(clock ? std::move(clock) : MillisecondClock(&MonotonicMilliseconds)) {}

void TransferStatusImpl::AddProgress(const std::uint64_t& bytes) {
    progress_.fetch_add(bytes, std::memory_order_relaxed);
}

void TransferStatusImpl::RemoveProgress(const std::uint64_t& bytes) {
    progress_.fetch_sub(bytes, std::memory_order_relaxed);
}

void TransferStatusImpl::AddVerified(const std::uint64_t& bytes) {
    verified_.fetch_add(bytes, std::memory_order_relaxed);
}

void TransferStatusImpl::AddChecking(const std::uint64_t& bytes) {
    checking_.fetch_add(bytes, std::memory_order_release);
}

void TransferStatusImpl::AddChecked(const std::uint64_t& bytes) {
    checked_.fetch_add(bytes, std::memory_order_release);
}

void TransferStatusImpl::AddTransferred(const std::uint64_t& bytes) {
    transferredBytes_.Add(bytes);
}

void TransferStatusImpl::SetPackage(const std::shared_ptr<const PackageManifest>& package) {
    if (package) {
        status_.runPath = package->GetRun();
        status_.totalBytes = package->GetTotalSize();
    }
}

void TransferStatusImpl::Snapshot(TransferStatus& out) {
    out = status_;
    out.transferId = params_->transferId;
    out.partnerId = params_->partnerId;
    out.packageId = params_->packageId;
    out.versionId = params_->versionId;
    out.destPath = params_->destPath;
    if (out.state != TransferState::Complete) {
        out.runPath.clear();
        out.runFile = FileIdentity();
    }
    out.transferredBytes = transferredBytes_.Get();
    out.progressBytes = progress_.load(std::memory_order_relaxed);
    out.verifiedBytes = verified_.load(std::memory_order_relaxed);
    // Checked first: a snapshot never shows more checked than begun.
    out.checkedBytes = checked_.load(std::memory_order_acquire);
    out.checkingBytes = checking_.load(std::memory_order_acquire);
    // One clock reading for both steps; the estimate uses what the previous snapshot's speed step left.
    const std::uint32_t now = clock_();
    out.secondsRemaining = EstimateSecondsRemaining(out, now);
    out.bytesPerSecond = EstimateSpeed(out, now);
}

std::int32_t TransferStatusImpl::EstimateSecondsRemaining(const TransferStatus& out, std::uint32_t now) {
    const bool transferring = out.state == TransferState::Transferring && out.error == TransferError::None;
    if (out.transferredBytes != 0 && transferring && !samples_.empty() && wasTransferring_) {
        transferTimeMs_.Add(static_cast<std::uint32_t>(now - samples_.back().timeMs));
    }
    const std::uint64_t t = transferTimeMs_.Get();
    if (t == 0) {
        return -1;
    }
    if (transferring && t < lastEstimateTime_ + remainingRecalcMs_) {
        return cachedSecondsRemaining_;
    }
    std::int32_t estimate;
    if (out.progressBytes >= out.totalBytes) {
        // Nothing is missing (or more than the total is counted): no time remains. The unsigned difference
        // would otherwise wrap to an enormous number.
        estimate = 0;
    } else if (out.transferredBytes == 0) {
        estimate = -1;
    } else {
        const double missing = static_cast<double>(out.totalBytes - out.progressBytes);
        const double seconds = std::ceil(static_cast<double>(t) /
                                         (static_cast<double>(out.transferredBytes) * 1000.0) * missing);
        // A slow start of a big package can give more seconds than an int32 holds: saturate.
        constexpr double maximum = static_cast<double>(std::numeric_limits<std::int32_t>::max());
        estimate = seconds >= maximum ? std::numeric_limits<std::int32_t>::max()
                                      : static_cast<std::int32_t>(seconds);
    }
    cachedSecondsRemaining_ = estimate;
    lastEstimateTime_ = t;
    return estimate;
}

std::uint64_t TransferStatusImpl::EstimateSpeed(const TransferStatus& out, std::uint32_t now) {
    const bool moving = out.state == TransferState::Transferring || out.state == TransferState::Paused;
    const bool fatal = out.error != TransferError::None && !out.retrying;
    if (moving && !fatal) {
        samples_.push_back({now, out.transferredBytes});
        while (samples_.size() > 2 &&
               static_cast<std::uint32_t>(now - samples_.front().timeMs) / 1000u >= speedWindowSeconds_) {
            samples_.pop_front();
        }
        wasTransferring_ = out.state == TransferState::Transferring && out.error == TransferError::None;
    }
    if (samples_.size() < 2) {
        return 0;
    }
    const Sample& oldest = samples_.front();
    const Sample& newest = samples_.back();
    const std::uint64_t bytes =
        newest.transferred > oldest.transferred ? newest.transferred - oldest.transferred : 0;
    const std::uint32_t seconds = static_cast<std::uint32_t>(newest.timeMs - oldest.timeMs) / 1000u;
    return bytes / std::max<std::uint64_t>(seconds, speedWindowSeconds_);
}

}  // namespace halcyne
