// Ends the test process when a test has not finished in time: it names the test on stderr and exits with
// status 124, so that a hang shows as that test's failure instead of holding the runner until its own limit
// (and the process's children that end with it, such as a VirtualDisplay, end too). Create it at the top of
// a test, on any thread; its destructor stops the watch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace halcyne::test {

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex lock_;  // guards done_
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace halcyne::test
