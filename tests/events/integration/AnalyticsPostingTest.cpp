// Analytics reports posted to the local delivery service's analytics endpoints: what arrives, how answers
// and failures are retried, and how destruction bounds the time spent on what is still queued.
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "events/EventAnalyticsRequest.hpp"
#include "events/EventsTestSupport.hpp"
#include "events/JsonHttpAnalyticsManager.hpp"
#include "events/TransferAnalyticsRequest.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "support/DeliveryService.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using test::AnalyticsSettings;
using test::DeliveryFault;

class AnalyticsPostingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(scratch_ / "site");
        service_ = std::make_unique<test::LocalDeliveryService>(
            test::LocalDeliveryService::Options{.site = scratch_ / "site", .content = {}, .nodes = 1});
    }
    std::unique_ptr<JsonHttpAnalyticsManager> MakeManager(const EngineSettings& settings) {
        return std::make_unique<JsonHttpAnalyticsManager>(&factory_, sessions_.CreateSession(), settings);
    }
    std::unique_ptr<JsonHttpAnalyticsManager> MakeManager(int retryLimit = 1, int timeout = 2) {
        return MakeManager(
            AnalyticsSettings(service_->EventsUrl(), service_->TransfersUrl(), retryLimit, timeout));
    }
    static TransferParams Params() {
        TransferParams params;
        params.transferId = "0123456789abcdef0123456789abcdef";
        params.partnerId = "P";
        params.packageId = "K";
        return params;
    }

    test::ScratchFolder scratch_;
    std::unique_ptr<test::LocalDeliveryService> service_;
    test::CountingRequestFactory factory_;
    RoundRobinHttpSessionFactory sessions_;
};

TEST_F(AnalyticsPostingTest, AnswersAndRetryLimits) {
    struct Case {
        const char* label;
        DeliveryFault fault;
        int posts;  // per attempt: 1 when the post reaches the endpoint
        bool retried;
        WorkResult result;
    };
    const Case cases[] = {
        {"200", {}, 1, false, WorkResult::Success},
        {"404", {.server = "events", .status = 404}, 1, false, WorkResult::Error},
        {"500", {.server = "events", .status = 500}, 1, true, WorkResult::RetryableError},
        {"503", {.server = "events", .status = 503}, 1, true, WorkResult::RetryableError},
        {"closed port", {.server = "events", .refuse = true}, 0, true, WorkResult::RetryableError},
        {"stall", {.server = "events", .stall = true}, 1, false, WorkResult::Error},  // timed out
    };
    for (const Case& c : cases) {
        for (const int limit : {0, 1, 2}) {
            SCOPED_TRACE(std::string(c.label) + ", retry limit " + std::to_string(limit));
            service_->ClearFaults();
            service_->ClearRecords();
            if (!c.fault.server.empty()) {
                service_->AddFault(c.fault);
            }
            auto manager = MakeManager(limit, 1);
            const auto work = manager->CreateEventWork(AnalyticsManager::EventStream);
            SimpleEventAnalyticsRequest(Params(), "numStarts").Save(work->Tree());
            const WorkStatus status = work->Run();
            EXPECT_EQ(status.result, c.result);
            EXPECT_FALSE(status.data);
            service_->ClearFaults();
            const int attempts = c.retried ? limit + 1 : 1;
            EXPECT_EQ(service_->Records().PostsTo("events").size(),
                      static_cast<std::size_t>(c.posts * attempts));
            EXPECT_EQ(service_->Records().PostsTo("transfers").size(), 0u);
        }
    }
}

TEST_F(AnalyticsPostingTest, EachStreamGetsItsBodies) {
    auto manager = MakeManager();
    const auto start = manager->CreateEventWork(AnalyticsManager::EventStream);
    SimpleEventAnalyticsRequest(Params(), "numStarts").Save(start->Tree());
    manager->Submit(start);
    const auto transfer = manager->CreateEventWork(AnalyticsManager::TransferStream);
    TransferAnalyticsRequest(Params(), TransferState::Transferring, 0, 0).Save(transfer->Tree());
    manager->Submit(transfer);
    manager->Submit(manager->CreateEventWork(AnalyticsManager::EventStream));  // an empty array
    manager.reset();

    const auto records = service_->Records();
    const auto transfers = records.PostsTo("transfers");
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].body,
              R"({"pid":"P","pkgid":"K","vid":"?","tid":"0123456789abcdef0123456789abcdef",)"
              R"("status":"active","transferBytes":"0","duration":"0"})"
              "\n");
    std::multiset<std::string> events;
    for (const auto& post : records.PostsTo("events")) {
        events.insert(post.body);
        EXPECT_EQ(post.contentType, "application/json");
        EXPECT_EQ(post.userAgent, "Vantrel Halcyne TransferService 0.9");
        EXPECT_EQ(post.path, "/");
    }
    EXPECT_EQ(events,
              (std::multiset<std::string>{
                  "[]\n", R"({"pid":"P","pkgid":"K","vid":"?","metrics":{"numStarts":"1"},"dimensions":{}})"
                          "\n"}));
    // Every report went through the one session's pool: far fewer request objects than posts.
    EXPECT_LE(factory_.Created(), 3);
}

TEST_F(AnalyticsPostingTest, DestructionDeliversWhatIsQueuedToAHealthyEndpoint) {
    auto manager = MakeManager();
    for (int i = 0; i < 200; ++i) {
        const auto work = manager->CreateEventWork(i % 2 == 0 ? 1 : 32);
        work->Tree().put("n", std::to_string(i));
        manager->Submit(work);
    }
    manager.reset();
    const auto records = service_->Records();
    EXPECT_EQ(records.PostsTo("events").size(), 100u);
    EXPECT_EQ(records.PostsTo("transfers").size(), 100u);
}

// Real time: the silent endpoint holds each of the 3 threads until the deadline, 1 s after destruction
// begins; everything behind them is then dropped without a connection.
TEST_F(AnalyticsPostingTest, DestructionGivesUpOnASilentEndpointAtTheDeadline) {
    service_->AddFault({.server = "events", .stall = true});
    auto manager = MakeManager(1, 1);
    manager->Submit(manager->CreateEventWork(1));  // one report starts before destruction does
    for (int i = 0; i < 100; ++i) {
        manager->Submit(manager->CreateEventWork(1));
    }
    manager.reset();
    EXPECT_LE(service_->Records().PostsTo("events").size(), JsonHttpAnalyticsManager::ThreadCount);
    EXPECT_LE(factory_.Created(), static_cast<int>(JsonHttpAnalyticsManager::ThreadCount));
    service_->ClearFaults();
}

}  // namespace
}  // namespace halcyne
