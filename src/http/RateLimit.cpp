#include "http/RateLimit.hpp"

#include <algorithm>
#include <thread>

namespace halcyne {

namespace {

// How far the turns may lag behind the clock before lag stops counting: an idle budget saves no more than
// this, so a start after a pause bursts at most this long's worth of bytes.
constexpr std::chrono::milliseconds Burst(50);
constexpr std::chrono::milliseconds WaitSlice(100);

}  // namespace

RateLimit::RateLimit(std::uint64_t bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

bool RateLimit::Pass(std::size_t bytes, const std::function<bool()>& abandoned) {
    if (bytesPerSecond_ == 0 || bytes == 0) {
        return true;
    }
    const auto length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(bytesPerSecond_)));
    Clock::time_point turn;
    {
        const std::lock_guard lock(mutex_);
        next_ = std::max(next_, Clock::now() - Burst);
        turn = next_;
        next_ += length;
    }
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= turn) {
            return true;
        }
        if (abandoned && abandoned()) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(turn - now, WaitSlice));
    }
}

}  // namespace halcyne
