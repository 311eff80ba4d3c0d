#include "transfer/TransferMonitorImpl.hpp"

#include <chrono>
#include <utility>
#include <vector>

namespace halcyne {

std::uint64_t SteadyMonitorClock::NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void SteadyMonitorClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wakeUp,
                                 std::uint32_t ms) {
    wakeUp.wait_for(lock, std::chrono::milliseconds(ms));
}

TransferMonitorImpl::TransferMonitorImpl(TransferOperations* engine, MonitorClock* clock)
    : engine_(engine), clock_(clock != nullptr ? clock : &steadyClock_) {}

TransferMonitorImpl::~TransferMonitorImpl() {
    Stop();
    const std::lock_guard<std::mutex> guard(lock_);
    callbacks_.clear();
}

void TransferMonitorImpl::Start() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (thread_.joinable() || stop_ || listening_) {
            return;
        }
        listening_ = true;
    }
    // Set without the lock: the engine may call Wake (which takes it) inside SetChangeListener's own lock.
    engine_->SetChangeListener([this] { Wake(); });
    const std::lock_guard<std::mutex> guard(lock_);
    if (!stop_) {
        thread_ = std::thread([this] { Run(); });
    }
}

void TransferMonitorImpl::Monitor(const std::string& transferId, TransferMonitorCallback* callback,
                                  bool pollAtOnce) {
    const std::lock_guard<std::mutex> guard(lock_);
    callbacks_.emplace(transferId, callback);
    // Looked at once: a change the engine reported before the id was registered was not for this monitor.
    if (pollAtOnce) {
        changed_ = true;
        wakeUp_.notify_all();
    }
}

void TransferMonitorImpl::Stop() {
    bool listening = false;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        listening = std::exchange(listening_, false);
    }
    if (listening) {
        // Returns once a Wake under way has returned: none comes after it.
        engine_->SetChangeListener({});
    }
    std::thread thread;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
        wakeUp_.notify_all();
        thread = std::move(thread_);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void TransferMonitorImpl::Wake() {
    const std::lock_guard<std::mutex> guard(lock_);
    changed_ = true;
    wakeUp_.notify_all();
}

void TransferMonitorImpl::Run() {
    while (Wait()) {
        try {
            Cycle();
        } catch (...) {
            // A failed cycle is dropped; the next one polls again.
        }
    }
}

bool TransferMonitorImpl::Wait() {
    const std::uint32_t minimum = periodMs_ * 9 / 10;
    const std::uint64_t start = clock_->NowMs();
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (stop_) {
            return false;
        }
        const std::uint64_t elapsed = clock_->NowMs() - start;
        // Checked before the subtraction below, so that a late wake-up can never make the next wait
        // (period - elapsed) wrap around to weeks. The cycle that begins now sees every change so far.
        if (changed_ || elapsed >= minimum) {
            changed_ = false;
            return true;
        }
        clock_->WaitFor(lock, wakeUp_, periodMs_ - static_cast<std::uint32_t>(elapsed));
    }
}

void TransferMonitorImpl::Cycle() {
    std::vector<std::pair<std::string, TransferMonitorCallback*>> registered;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        registered.assign(callbacks_.begin(), callbacks_.end());
    }
    for (const auto& [transferId, callback] : registered) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            if (stop_) {
                return;
            }
        }
        Dispatch(transferId, callback, engine_->GetTransferStatus(transferId));
    }
}

void TransferMonitorImpl::Remove(const std::string& transferId) {
    const std::lock_guard<std::mutex> guard(lock_);
    callbacks_.erase(transferId);
}

void TransferMonitorImpl::Dispatch(const std::string& transferId, TransferMonitorCallback* callback,
                                   const TransferStatus& status) {
    const bool error = status.error != TransferError::None;
    switch (status.state) {
        case TransferState::Absent:
        case TransferState::Suspended:
        case TransferState::Complete:
        case TransferState::Cancelled:
            Remove(transferId);
            callback->OnTransferEnd(status);
            return;
        default:
            break;
    }
    if (error && !status.retrying) {
        Remove(transferId);
        callback->OnTransferEnd(status);
    } else if (status.state == TransferState::Initialized) {
        Remove(transferId);
        callback->OnTransferInitialized(status);
        if (error) {
            callback->OnTransferRetryableError(status);
        }
    } else if (!error) {
        callback->OnTransferProgress(status);
    } else {
        Remove(transferId);
        callback->OnTransferRetryableError(status);
    }
}

}  // namespace halcyne
