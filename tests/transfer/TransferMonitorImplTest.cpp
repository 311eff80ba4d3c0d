// The transfer monitor over scripted statuses in fake time: the dispatch table, re-registration from a
// callback, exceptions, the pause between cycles, a Stop that ends a wait and the engine's change reports.
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/ScriptedTransfers.hpp"
#include "transfer/TransferMonitorImpl.hpp"

namespace halcyne {
namespace {

using test::Status;
using S = TransferState;
using E = TransferError;

// Records every callback as "<name> <transfer id>", with the fake time of each progress report.
class Recorder : public TransferMonitorCallback {
public:
    explicit Recorder(test::FakeMonitorClock* clock = nullptr) : clock_(clock) {}

    void OnTransferProgress(const TransferStatus& status) override {
        Add("Progress " + status.transferId);
        if (clock_ != nullptr) {
            const std::lock_guard<std::mutex> guard(lock_);
            progressTimes.push_back(clock_->NowMs());
        }
    }
    void OnTransferInitialized(const TransferStatus& status) override {
        Add("Initialized " + status.transferId);
        if (onInitialized) {
            onInitialized(status);
        }
    }
    void OnTransferRetryableError(const TransferStatus& status) override {
        Add("RetryableError " + status.transferId);
    }
    void OnTransferEnd(const TransferStatus& status) override {
        Add("End " + status.transferId);
        if (throwOnEnd) {
            throw std::runtime_error("callback failed");
        }
    }

    // Waits (at most 30 s) until `count` callbacks were recorded.
    std::vector<std::string> WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return events_.size() >= count; });
        return events_;
    }
    std::vector<std::string> Events() {
        const std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

    std::function<void(const TransferStatus&)> onInitialized;
    bool throwOnEnd = false;
    std::vector<std::uint64_t> progressTimes;

private:
    void Add(const std::string& event) {
        const std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(event);
        changed_.notify_all();
    }

    test::FakeMonitorClock* clock_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

TEST(TransferMonitorImplTest, DispatchTable) {
    struct Row {
        TransferStatus status;
        std::vector<std::string> events;  // for the first status
        bool staysRegistered;
    };
    const std::vector<Row> rows = {
        {Status("t", S::Absent), {"End t"}, false},
        {Status("t", S::Suspended), {"End t"}, false},
        {Status("t", S::Complete), {"End t"}, false},
        {Status("t", S::Cancelled), {"End t"}, false},
        {Status("t", S::Complete, E::ConnectionError, true), {"End t"}, false},
        {Status("t", S::Transferring, E::ChecksumMismatch, false), {"End t"}, false},
        {Status("t", S::Initialized, E::ManifestError, false), {"End t"}, false},
        {Status("t", S::Initialized), {"Initialized t"}, false},
        {Status("t", S::Initialized, E::ConnectionError, true), {"Initialized t", "RetryableError t"}, false},
        {Status("t", S::Initializing), {"Progress t"}, true},
        {Status("t", S::Transferring), {"Progress t"}, true},
        {Status("t", S::Paused), {"Progress t"}, true},
        {Status("t", S::Transferring, E::ConnectionError, true), {"RetryableError t"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(static_cast<int>(row.status.state)) + " error " +
                     std::to_string(ToInt(row.status.error)) + (row.status.retrying ? " retrying" : ""));
        test::ScriptedTransfers engine;
        test::FakeMonitorClock clock;
        Recorder recorder;
        Recorder watcher;
        // After the row's status the transfer completes. "z", queried after "t" in each cycle, keeps
        // transferring: its reports show that the cycles went on.
        engine.Script("t", {row.status, Status("t", S::Complete)});
        engine.Script("z", {Status("z", S::Transferring)});
        TransferMonitorImpl monitor(&engine, &clock);
        monitor.Monitor("t", &recorder);
        monitor.Monitor("z", &watcher);
        monitor.Start();
        watcher.WaitFor(5);
        monitor.Stop();

        std::vector<std::string> expected = row.events;
        if (row.staysRegistered) {
            expected.push_back("End t");
        }
        EXPECT_EQ(recorder.Events(), expected);
        EXPECT_EQ(engine.Queries("t"), row.staysRegistered ? 2 : 1);
    }
}

TEST(TransferMonitorImplTest, ACallbackMayRegisterItsIdAgainAndAnExistingEntryKeepsItsCallback) {
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    TransferMonitorImpl monitor(&engine, &clock);
    Recorder first;
    Recorder second;
    engine.Script("t", {Status("t", S::Initialized), Status("t", S::Transferring), Status("t", S::Complete)});
    // Re-registering from inside the callback would deadlock if the monitor held its lock while calling.
    first.onInitialized = [&](const TransferStatus& status) { monitor.Monitor(status.transferId, &first); };
    monitor.Monitor("t", &first);
    monitor.Monitor("t", &second);
    monitor.Start();
    EXPECT_EQ(first.WaitFor(3), (std::vector<std::string>{"Initialized t", "Progress t", "End t"}));
    monitor.Stop();
    EXPECT_TRUE(second.Events().empty());
}

TEST(TransferMonitorImplTest, AnExceptionEndsOnlyItsCycle) {
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    Recorder failing;
    failing.throwOnEnd = true;
    Recorder watcher;
    engine.Script("a", {Status("a", S::Complete)});
    engine.Script("b", {Status("b", S::Transferring)});
    TransferMonitorImpl monitor(&engine, &clock);
    monitor.Monitor("a", &failing);
    monitor.Monitor("b", &watcher);
    monitor.Start();
    watcher.WaitFor(3);
    monitor.Stop();
    EXPECT_EQ(failing.Events(), std::vector<std::string>{"End a"});
    EXPECT_EQ(engine.Queries("a"), 1);
}

TEST(TransferMonitorImplTest, CyclesAreAtLeastNinetyMillisecondsApartAndLateWakeUpsDoNotWrap) {
    struct Case {
        const char* name;
        std::uint64_t wakeUpAfterMs;  // how much fake time passes in each wait
    };
    for (const Case c : {Case{"early wake-ups", 7}, Case{"exact", 100}, Case{"late wake-ups", 250},
                         Case{"very late", 5000000000ull}}) {
        SCOPED_TRACE(c.name);
        test::ScriptedTransfers engine;
        test::FakeMonitorClock clock;
        clock.advance = [&](std::uint32_t) { return c.wakeUpAfterMs; };
        Recorder recorder(&clock);
        engine.Script("t", {Status("t", S::Transferring)});
        TransferMonitorImpl monitor(&engine, &clock);
        monitor.Monitor("t", &recorder);
        monitor.Start();
        recorder.WaitFor(20);
        monitor.Stop();
        ASSERT_GE(recorder.progressTimes.size(), 20u);
        for (std::size_t i = 1; i < recorder.progressTimes.size(); ++i) {
            EXPECT_GE(recorder.progressTimes[i] - recorder.progressTimes[i - 1], 90u);
        }
        for (const std::uint32_t request : clock.requests) {
            EXPECT_GT(request, 0u);
            EXPECT_LE(request, 100u);
        }
    }
}

TEST(TransferMonitorImplTest, StopEndsAWaitAtOnceAndAStoppedMonitorDoesNotStartAgain) {
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    clock.block = true;  // no time passes and nothing is registered or changes: only Stop can end the wait
    TransferMonitorImpl monitor(&engine, &clock);
    monitor.Start();
    while (!clock.blocked) {
        std::this_thread::yield();
    }
    monitor.Stop();
    monitor.Start();
    monitor.Stop();
    EXPECT_EQ(clock.requests.size(), 1u);  // the one wait, and no cycle after it
    EXPECT_FALSE(engine.Listened());
}

// With no time passing, only the engine's change reports and new registrations start a cycle: a change is
// seen at once, not at the next poll, and each one starts one cycle. The monitor listens from Start to Stop.
TEST(TransferMonitorImplTest, AChangeReportedByTheEngineStartsACycleAtOnce) {
    test::ScriptedTransfers engine;
    test::FakeMonitorClock clock;
    clock.block = true;
    Recorder recorder;
    engine.Script("t", {Status("t", S::Transferring), Status("t", S::Complete)});
    TransferMonitorImpl monitor(&engine, &clock);
    EXPECT_FALSE(engine.Listened());
    monitor.Start();
    EXPECT_TRUE(engine.Listened());
    monitor.Monitor("t", &recorder);  // a registration is looked at at once
    EXPECT_EQ(recorder.WaitFor(1), std::vector<std::string>{"Progress t"});
    engine.NotifyChange();
    EXPECT_EQ(recorder.WaitFor(2), (std::vector<std::string>{"Progress t", "End t"}));
    engine.NotifyChange();  // a cycle over nothing
    monitor.Stop();
    EXPECT_FALSE(engine.Listened());
    EXPECT_EQ(engine.Queries("t"), 2);
    EXPECT_EQ(clock.now, 1000u);  // no time passed
}

}  // namespace
}  // namespace halcyne
