#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "http/HttpRequest.hpp"
#include "http/HttpRequestCanceller.hpp"

namespace halcyne {
namespace {

// A request whose Perform waits until it is cancelled, as a request to a stalled server does.
class WaitingRequest : public HttpRequest {
public:
    HttpRequestStatus Perform() override {
        std::unique_lock<std::mutex> lock(mutex_);
        started_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return cancelled_; });
        return GetStatusLocked();
    }
    HttpRequestStatus GetStatus() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return GetStatusLocked();
    }
    void Cancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    bool Reset(const HttpRequestParams&, const std::string&) override { return false; }
    void WaitUntilStarted() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return started_; });
    }

private:
    HttpRequestStatus GetStatusLocked() const {
        HttpRequestStatus status;
        status.result = cancelled_ ? HttpRequestResult::Cancelled : HttpRequestResult::NotStarted;
        return status;
    }

    mutable std::mutex mutex_;  // guards started_ and cancelled_
    std::condition_variable changed_;
    bool started_ = false;
    bool cancelled_ = false;
};

TEST(HttpRequestCancellerTest, CancelsTheRequestInFlightFromAnotherThread) {
    HttpRequestCanceller canceller;
    for (int round = 0; round < 50; ++round) {
        auto request = std::make_shared<WaitingRequest>();
        HttpRequestStatus status;
        std::thread performer([&] {
            HttpRequestCancellerScope attached(&canceller, request);
            status = request->Perform();
        });
        request->WaitUntilStarted();
        canceller.Cancel();
        performer.join();
        EXPECT_EQ(status.result, HttpRequestResult::Cancelled);
        EXPECT_TRUE(canceller.IsCancelled());
        canceller.Rearm();
    }
}

TEST(HttpRequestCancellerTest, ACancelThatComesFirstStopsTheNextRequestAtOnce) {
    HttpRequestCanceller canceller;
    canceller.Cancel();
    auto request = std::make_shared<WaitingRequest>();
    HttpRequestCancellerScope attached(&canceller, request);
    EXPECT_EQ(request->Perform().result, HttpRequestResult::Cancelled);
}

TEST(HttpRequestCancellerTest, CancelsRacingWithAttachAndDetachAreSafe) {
    HttpRequestCanceller canceller;
    std::atomic<bool> done{false};
    std::thread canceller_thread([&] {
        while (!done.load()) {
            canceller.Cancel();
            canceller.Rearm();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto request = std::make_shared<WaitingRequest>();
        HttpRequestCancellerScope attached(&canceller, request);
        request->GetStatus();
    }
    done.store(true);
    canceller_thread.join();
}

}  // namespace
}  // namespace halcyne
