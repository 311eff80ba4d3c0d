#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/RateLimit.hpp"

namespace halcyne {
namespace {

// Requests on many threads share one budget: every block passes, and the shared turn keeping is race-free
// (this test's point under ThreadSanitizer).
TEST(RateLimitTest, BlocksOfManyThreadsAllPass) {
    RateLimit limit(64 * 1024 * 1024);
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 16; ++i) {
                passed += limit.Pass(64 * 1024, [] { return false; }) ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(passed, 8 * 16);
}

// A block that would wait for days under a tiny limit ends as soon as its request is cancelled, and a
// cancelled wait does not stop the next request with a turn of its own.
TEST(RateLimitTest, ACancelledRequestStopsWaitingAtOnce) {
    RateLimit limit(1);
    EXPECT_TRUE(limit.Pass(1, nullptr));  // the first byte's turn is now
    int asked = 0;
    EXPECT_FALSE(limit.Pass(1 << 20, [&] { return ++asked > 1; }));
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(limit.Pass(1, [] { return true; }));
    EXPECT_TRUE(RateLimit(0).Pass(1 << 30, [] { return true; }));  // no limit: nothing waits
}

}  // namespace
}  // namespace halcyne
