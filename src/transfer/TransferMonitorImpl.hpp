// The transfer monitor: one thread that polls the status of every registered transfer about every 100 ms, and
// at once when the engine reports that a transfer's state or error has changed (its change listener, set
// from Start to Stop), and tells the transfer's TransferMonitorCallback. The owner builds, starts and
// destroys it (from any one thread); Monitor may be called from any thread, callbacks included. Every
// callback runs on the monitor's thread, one at a time, without the monitor's lock, and may call Monitor
// and the engine. The engine calls the listener (Wake) on its own threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "transfer/TransferMonitorCallback.hpp"
#include "transfer/TransferOperations.hpp"

namespace halcyne {

// The monitor's time: a millisecond clock and a wait on its condition variable. Tests replace it to run the
// polling without real time.
class MonitorClock {
public:
    virtual ~MonitorClock() = default;
    // Milliseconds since an arbitrary start; never goes back.
    virtual std::uint64_t NowMs() = 0;
    // Waits on `wakeUp` (with `lock` held, as condition_variable::wait_for) for at most `ms` milliseconds;
    // may return early.
    virtual void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wakeUp,
                         std::uint32_t ms) = 0;
};

// The steady clock and a real wait.
class SteadyMonitorClock : public MonitorClock {
public:
    std::uint64_t NowMs() override;
    void WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wakeUp,
                 std::uint32_t ms) override;
};

class TransferMonitorImpl {
public:
    // `engine` (and `clock`, when given) must outlive the monitor.
    explicit TransferMonitorImpl(TransferOperations* engine, MonitorClock* clock = nullptr);
    ~TransferMonitorImpl();
    TransferMonitorImpl(const TransferMonitorImpl&) = delete;
    TransferMonitorImpl& operator=(const TransferMonitorImpl&) = delete;

    // Starts the thread once and becomes the engine's change listener; later calls (also after Stop) do
    // nothing.
    void Start();
    // Registers the transfer, to be polled at once (with `pollAtOnce` false: at the next regular poll, as a
    // callback that waits for time to pass asks); an id already registered keeps its callback.
    void Monitor(const std::string& transferId, TransferMonitorCallback* callback, bool pollAtOnce = true);
    // Stops listening to the engine, ends the wait at once, lets the current callback return, and joins the
    // thread. Must not be called from a callback.
    void Stop();
    // A transfer has changed: the next cycle begins at once (or right after the one under way). Any thread.
    void Wake();

    std::uint32_t PeriodMs() const { return periodMs_; }

private:
    void Run();
    // Pauses between cycles: at least 90 % of the period, however early the clock wakes, unless Wake was
    // called meanwhile; false once stopped.
    bool Wait();
    void Cycle();
    void Dispatch(const std::string& transferId, TransferMonitorCallback* callback,
                  const TransferStatus& status);
    void Remove(const std::string& transferId);

    TransferOperations* const engine_;
    SteadyMonitorClock steadyClock_;
    MonitorClock* const clock_;
    const std::uint32_t periodMs_ = 100;
    // Guards stop_, changed_, thread_, listening_ and callbacks_. A leaf: the engine calls Wake, which
    // takes it, inside its change signal's lock; nothing else is called while it is held.
    std::mutex lock_;
    bool stop_ = false;
    bool changed_ = false;    // Wake was called since the last cycle began
    bool listening_ = false;  // this monitor set the engine's change listener
    std::condition_variable wakeUp_;
    std::thread thread_;
    std::map<std::string, TransferMonitorCallback*> callbacks_;
};

}  // namespace halcyne
