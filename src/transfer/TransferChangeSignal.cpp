#include "transfer/TransferChangeSignal.hpp"

#include <utility>

namespace halcyne {

void TransferChangeSignal::SetListener(std::function<void()> listener) {
    std::function<void()> previous;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        previous = std::exchange(listener_, std::move(listener));
    }
    // The previous listener is destroyed here, without the mutex: its captures may own anything.
}

void TransferChangeSignal::Notify() noexcept {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (!listener_) {
        return;
    }
    try {
        listener_();
    } catch (...) {
        // A listener that fails misses this change; the monitor's next poll sees it anyway.
    }
}

}  // namespace halcyne
