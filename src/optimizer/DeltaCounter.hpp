// A counter that many threads add to, and that a reporter asks for its growth since the previous question.
// Add and Get are lock-free and callable from any thread; TakeDelta callers are serialised by the mutex.
#pragma once

#include <atomic>
#include <mutex>

namespace halcyne {

template <typename T>
class DeltaCounter {
public:
    DeltaCounter() = default;
    DeltaCounter(const DeltaCounter&) = delete;
    DeltaCounter& operator=(const DeltaCounter&) = delete;

    void Add(T amount) { value_.fetch_add(amount, std::memory_order_relaxed); }
    T Get() const { return value_.load(std::memory_order_relaxed); }
    // The growth since the previous TakeDelta (modulo the width of T), without moving the mark.
    T PeekDelta() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<T>(value_.load(std::memory_order_relaxed) - lastTaken_);
    }
    // The growth since the previous TakeDelta (modulo the width of T), and remembers the current value.
    T TakeDelta() {
        std::lock_guard<std::mutex> lock(mutex_);
        const T value = value_.load(std::memory_order_relaxed);
        const T delta = static_cast<T>(value - lastTaken_);
        lastTaken_ = value;
        return delta;
    }

private:
    std::atomic<T> value_{0};
    std::mutex mutex_;  // guards lastTaken_
    T lastTaken_ = 0;
};

}  // namespace halcyne
