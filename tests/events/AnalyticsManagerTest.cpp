#include <gtest/gtest.h>

#include "events/EventsTestSupport.hpp"
#include "events/JsonHttpAnalyticsManager.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"

namespace halcyne {
namespace {

using test::AnalyticsSettings;
using test::CountingRequestFactory;

class AnalyticsManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<JsonHttpAnalyticsManager> MakeManager(const EngineSettings& settings) {
        return std::make_unique<JsonHttpAnalyticsManager>(&factory_, sessions_.CreateSession(), settings);
    }
    static std::shared_ptr<JsonHttpAnalyticsEventWork> AsHttpWork(
        const std::shared_ptr<TrackEventWork>& work) {
        return std::dynamic_pointer_cast<JsonHttpAnalyticsEventWork>(work);
    }

    CountingRequestFactory factory_;
    RoundRobinHttpSessionFactory sessions_;
};

TEST_F(AnalyticsManagerTest, TheTransferStreamGoesToItsOwnUrl) {
    auto manager = MakeManager(AnalyticsSettings("http://events.example", "http://transfers.example"));
    for (const auto& [stream, url] : std::vector<std::pair<std::int32_t, std::string>>{
             {AnalyticsManager::TransferStream, "http://transfers.example"},
             {AnalyticsManager::EventStream, "http://events.example"},
             {0, "http://events.example"},
             {7, "http://events.example"}}) {
        const auto work = AsHttpWork(manager->CreateEventWork(stream));
        ASSERT_TRUE(work);
        EXPECT_EQ(work->Type(), stream);
        EXPECT_EQ(work->Url(), url);
        EXPECT_TRUE(work->Tree().empty());
        boost::property_tree::ptree description;
        work->Describe(description);
        EXPECT_TRUE(description.empty());  // reports do not describe themselves
    }
}

TEST_F(AnalyticsManagerTest, ReportsThatCannotBeSentMakeNoRequest) {
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::ClosedPort());
    auto manager = MakeManager(AnalyticsSettings("", closed));
    // No URL for the event stream: dropped.
    const auto unconfigured = manager->CreateEventWork(AnalyticsManager::EventStream);
    unconfigured->Tree().put("pid", "P");
    EXPECT_EQ(unconfigured->Run().result, WorkResult::Failure);
    // A tree JSON cannot hold: Error.
    const auto unwritable = manager->CreateEventWork(AnalyticsManager::TransferStream);
    unwritable->Tree().data() = "root data";
    const WorkStatus status = unwritable->Run();
    EXPECT_EQ(status.result, WorkResult::Error);
    EXPECT_FALSE(status.data);
    EXPECT_EQ(factory_.Created(), 0);
}

TEST_F(AnalyticsManagerTest, AClosedPortIsRetriedUpToTheLimit) {
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::ClosedPort());
    for (const int limit : {0, 1, 3}) {
        SCOPED_TRACE(limit);
        auto manager = MakeManager(AnalyticsSettings(closed, closed, limit));
        const auto work = AsHttpWork(manager->CreateEventWork(AnalyticsManager::EventStream));
        const WorkStatus status = work->Run();
        EXPECT_EQ(status.result, WorkResult::RetryableError);
        EXPECT_FALSE(status.retry);
        EXPECT_FALSE(status.data);
        EXPECT_EQ(work->RetriesUsed(), limit);
        work->Reset();
        EXPECT_EQ(work->RetriesUsed(), 0);
    }
}

TEST_F(AnalyticsManagerTest, ShutdownWithNothingToSendIsImmediate) {
    auto manager = MakeManager(AnalyticsSettings("", ""));
    for (int i = 0; i < 100; ++i) {
        manager->Submit(manager->CreateEventWork(i % 2 == 0 ? 1 : 32));
    }
    manager.reset();
    EXPECT_EQ(factory_.Created(), 0);
}

TEST(AnalyticsShutdownTest, DeadlineSecondsAndExpiry) {
    AnalyticsShutdown shutdown;
    EXPECT_EQ(shutdown.SecondsLeft(), std::nullopt);
    shutdown.SetDeadline(AnalyticsShutdown::Clock::now() + std::chrono::milliseconds(2500));
    EXPECT_EQ(shutdown.SecondsLeft(), 3);  // rounded up
    shutdown.SetDeadline(AnalyticsShutdown::Clock::now() - std::chrono::milliseconds(1));
    EXPECT_EQ(shutdown.SecondsLeft(), 0);

    // Expiry cancels what is registered and refuses what comes later.
    CountingRequestFactory factory;
    HttpRequestParams params("http://127.0.0.1:9/", nullptr);
    const auto running = factory.CreateRequest(params);
    EXPECT_TRUE(shutdown.Begin(running));
    shutdown.Expire();
    EXPECT_EQ(running->GetStatus().result, HttpRequestResult::Cancelled);
    shutdown.End(running);
    EXPECT_FALSE(shutdown.Begin(factory.CreateRequest(params)));
}

}  // namespace
}  // namespace halcyne
