#include "support/ScriptedTransfers.hpp"

#include <chrono>
#include <thread>

namespace halcyne::test {

Updater::StringTable DialogStringTable(bool languages) {
    Updater::StringTable table;
    table.Set(103, "DP");
    table.Set(104, "GP");
    table.Set(105, languages ? "en=GK;de=GK" : "GK");
    table.Set(106, languages ? "en=skin-en;de=skin-de" : "skin");
    table.Set(107, "DK");
    table.Set(108, languages ? "en=Emberline;de=Glutlinie" : "Emberline");
    table.Set(109, languages ? "en=Emberline;de=Glutlinie" : "Emberline");
    if (languages) {
        table.Set(129, "en=English;de=Deutsch");
        table.Set(130, "en");
    }
    return table;
}

TransferStatus Status(const std::string& id, TransferState state, TransferError error, bool retrying) {
    TransferStatus status(id, state);
    status.error = error;
    status.retrying = retrying;
    return status;
}

void ScriptedTransfers::Script(const std::string& id, std::vector<TransferStatus> statuses) {
    const std::lock_guard<std::mutex> guard(lock_);
    scripts_[id] = std::deque<TransferStatus>(statuses.begin(), statuses.end());
}

void ScriptedTransfers::OnStart(const std::string& packageId, TransferStatus status) {
    const std::lock_guard<std::mutex> guard(lock_);
    starts_[packageId] = std::move(status);
}

void ScriptedTransfers::OnStartInto(const std::string& transferId, TransferStatus status) {
    const std::lock_guard<std::mutex> guard(lock_);
    startsInto_[transferId] = std::move(status);
}

TransferStatus ScriptedTransfers::StartTransfer(const std::string& partnerId, const std::string& packageId,
                                                const std::string& versionId) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"StartTransfer", {partnerId, packageId, versionId}});
    changed_.notify_all();
    const auto found = starts_.find(packageId);
    return found != starts_.end() ? found->second : Status(packageId + "-id", TransferState::Initializing);
}

TransferStatus ScriptedTransfers::StartTransferInto(const std::string& transferId,
                                                    const std::string& destination) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"StartTransferInto", {transferId, destination}});
    changed_.notify_all();
    const auto found = startsInto_.find(transferId);
    return found != startsInto_.end() ? found->second : Status(transferId, TransferState::Transferring);
}

TransferStatus ScriptedTransfers::GetTransferStatus(const std::string& transferId) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"GetTransferStatus", {transferId}});
    changed_.notify_all();
    auto found = scripts_.find(transferId);
    if (found == scripts_.end() || found->second.empty()) {
        return TransferStatus(transferId, TransferState::Absent);
    }
    TransferStatus status = found->second.front();
    if (found->second.size() > 1) {
        found->second.pop_front();
    }
    if (adjustStatus) {
        adjustStatus(status);
    }
    return status;
}

void ScriptedTransfers::ScriptRetries(const std::string& id,
                                      std::vector<std::vector<TransferStatus>> afterEachRetry) {
    const std::lock_guard<std::mutex> guard(lock_);
    retryScripts_[id] = std::deque<std::vector<TransferStatus>>(afterEachRetry.begin(), afterEachRetry.end());
}

TransferStatus ScriptedTransfers::RetryTransfer(const std::string& transferId) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"RetryTransfer", {transferId}});
    changed_.notify_all();
    auto next = retryScripts_.find(transferId);
    if (next != retryScripts_.end() && !next->second.empty()) {
        const std::vector<TransferStatus>& script = next->second.front();
        scripts_[transferId] = std::deque<TransferStatus>(script.begin(), script.end());
        if (next->second.size() > 1) {
            next->second.pop_front();
        }
    }
    auto found = scripts_.find(transferId);
    if (found == scripts_.end() || found->second.empty()) {
        return TransferStatus(transferId, TransferState::Absent);
    }
    return found->second.front();
}

TransferStatus ScriptedTransfers::PauseTransfer(const std::string& transferId) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"PauseTransfer", {transferId}});
    changed_.notify_all();
    return TransferStatus(transferId, TransferState::Paused);
}

TransferStatus ScriptedTransfers::ResumeTransfer(const std::string& transferId) {
    const std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back({"ResumeTransfer", {transferId}});
    changed_.notify_all();
    return TransferStatus(transferId, TransferState::Transferring);
}

void ScriptedTransfers::SetChangeListener(std::function<void()> listener) {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        listened_ = static_cast<bool>(listener);
    }
    changes_.SetListener(std::move(listener));
}

bool ScriptedTransfers::Listened() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return listened_;
}

std::vector<ScriptedTransfers::Call> ScriptedTransfers::Calls() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

int ScriptedTransfers::Queries(const std::string& id) const {
    const std::lock_guard<std::mutex> guard(lock_);
    int count = 0;
    for (const Call& call : calls_) {
        count += call.operation == "GetTransferStatus" && call.arguments[0] == id ? 1 : 0;
    }
    return count;
}

bool ScriptedTransfers::WaitUntil(const std::function<bool(const std::vector<Call>&)>& done) const {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return done(calls_); });
}

void FakeMonitorClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wakeUp,
                               std::uint32_t ms) {
    requests.push_back(ms);
    if (block) {
        blocked = true;
        wakeUp.wait(lock);
        return;
    }
    now += advance(ms);
    // Let other threads (Monitor, Stop) take the monitor's lock between fake waits.
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
}

}  // namespace halcyne::test
