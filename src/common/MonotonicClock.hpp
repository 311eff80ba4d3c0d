// The engine's millisecond clock: transfer time, speed windows and request durations are measured with it.
// A plain function of the system clock, safe on any thread; tests pass their own MillisecondClock instead.
#pragma once

#include <cstdint>
#include <functional>

namespace halcyne {

// A millisecond clock read as an unsigned 32-bit number; differences are taken modulo 2^32.
using MillisecondClock = std::function<std::uint32_t()>;

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
std::uint32_t MonotonicMilliseconds();

}  // namespace halcyne
