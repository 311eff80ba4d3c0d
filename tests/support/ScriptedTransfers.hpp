// Stand-ins for the download engine and the monitor's clock, for tests of the transfer monitor and the
// updater's dialog: every transfer id answers a script of statuses, and the clock runs in fake time.
// ScriptedTransfers may be called from any thread; FakeMonitorClock only from the monitor's thread (and
// read by the test after the monitor has stopped).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/StringTable.hpp"
#include "transfer/TransferChangeSignal.hpp"
#include "transfer/TransferMonitorImpl.hpp"
#include "transfer/TransferOperations.hpp"

namespace halcyne::test {

// The dialog tests' deployment: downloader package DP/DK, skin GP/GK, title and folder "Emberline"; with
// `languages`, English and German (English first) with a skin and a title per language.
Updater::StringTable DialogStringTable(bool languages);

// A status of `id` in `state` with an error (None by default), retrying or not.
TransferStatus Status(const std::string& id, TransferState state, TransferError error = TransferError::None,
                      bool retrying = false);

class ScriptedTransfers : public TransferOperations {
public:
    struct Call {
        std::string operation;  // "StartTransfer", "StartTransferInto", "GetTransferStatus", "RetryTransfer",
                                // "PauseTransfer", "ResumeTransfer"
        std::vector<std::string> arguments;
    };

    // The statuses GetTransferStatus returns for the id, one per query; the last one repeats. An id without a
    // script is Absent.
    void Script(const std::string& id, std::vector<TransferStatus> statuses);
    // The scripts that replace the id's script after each RetryTransfer, in order (the last one stays for
    // later retries); without them a retry changes nothing.
    void ScriptRetries(const std::string& id, std::vector<std::vector<TransferStatus>> afterEachRetry);
    // What StartTransfer returns for the package id (by default a status Initializing with id
    // "<package>-id"), and what StartTransferInto returns (by default the status Transferring for the id).
    void OnStart(const std::string& packageId, TransferStatus status);
    // Changes every status GetTransferStatus returns before it is returned (for example, to count bytes by
    // the fake time of the query rather than by the number of queries). Set before the transfers are used.
    std::function<void(TransferStatus&)> adjustStatus;
    void OnStartInto(const std::string& transferId, TransferStatus status);

    TransferStatus StartTransfer(const std::string& partnerId, const std::string& packageId,
                                 const std::string& versionId) override;
    TransferStatus StartTransferInto(const std::string& transferId, const std::string& destination) override;
    TransferStatus GetTransferStatus(const std::string& transferId) override;
    // Records the call ("RetryTransfer") and moves the id on to its next script; returns the first status
    // of that script (the current one without scripts).
    TransferStatus RetryTransfer(const std::string& transferId) override;
    // Record the call ("PauseTransfer", "ResumeTransfer"); the script goes on as it is.
    TransferStatus PauseTransfer(const std::string& transferId) override;
    TransferStatus ResumeTransfer(const std::string& transferId) override;
    void SetChangeListener(std::function<void()> listener) override;

    // Calls the change listener as the engine does after a transfer changed.
    void NotifyChange() { changes_.Notify(); }
    // Whether a change listener is set.
    bool Listened() const;

    std::vector<Call> Calls() const;
    // How often GetTransferStatus was asked for the id.
    int Queries(const std::string& id) const;
    // Waits (at most 30 s) until `done` holds for the calls so far; false on time-out.
    bool WaitUntil(const std::function<bool(const std::vector<Call>&)>& done) const;

private:
    TransferChangeSignal changes_;  // guards itself
    mutable std::mutex lock_;       // guards every field below
    mutable std::condition_variable changed_;
    std::map<std::string, std::deque<TransferStatus>> scripts_;
    std::map<std::string, std::deque<std::vector<TransferStatus>>> retryScripts_;
    std::map<std::string, TransferStatus> starts_;
    std::map<std::string, TransferStatus> startsInto_;
    std::vector<Call> calls_;
    bool listened_ = false;
};

// Fake time for the monitor: each wait lets `advance(requested)` milliseconds pass at once (by default the
// requested time), or, with `block`, waits for a real notification (Stop, Wake, Monitor) without time
// passing.
class FakeMonitorClock : public MonitorClock {
public:
    std::function<std::uint64_t(std::uint32_t)> advance = [](std::uint32_t ms) { return ms; };
    bool block = false;
    std::atomic<bool> blocked{false};      // set once a blocking wait has begun
    std::vector<std::uint32_t> requests;   // every wait's requested milliseconds
    std::atomic<std::uint64_t> now{1000};  // the fake time

    std::uint64_t NowMs() override { return now; }
    void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wakeUp,
                 std::uint32_t ms) override;
};

}  // namespace halcyne::test
