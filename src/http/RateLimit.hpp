// One download-rate budget shared by every request of an engine. A request hands each block it received to
// Pass before the block is written; Pass waits until the block's turn. Turns are given in the order the
// blocks arrive, each lasting its bytes divided by the rate, so the total never runs ahead of the rate by
// more than a short burst, whatever the number of requests, and every request gets its share (a waiting
// request does not push libcurl's low-speed limit, which each request's share stays above). Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace halcyne {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    // bytesPerSecond 0: no limit, Pass returns at once.
    explicit RateLimit(std::uint64_t bytesPerSecond);

    std::uint64_t BytesPerSecond() const { return bytesPerSecond_; }

    // Waits until `bytes` may pass. `abandoned` is asked every 100 ms at most while waiting; when it says
    // true, Pass returns false at once (the request was cancelled) and the turn is not given back. True when
    // the bytes may be written.
    bool Pass(std::size_t bytes, const std::function<bool()>& abandoned);

private:
    const std::uint64_t bytesPerSecond_;
    std::mutex mutex_;          // guards next_
    Clock::time_point next_{};  // when the next block's turn starts
};

}  // namespace halcyne
