// Reports from many threads at once: every log line once, whole and in its reporter's order, and a bounded
// analytics shutdown racing the works it cancels. Run under TSan.
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "events/EventsTestSupport.hpp"
#include "events/JsonHttpAnalyticsManager.hpp"
#include "events/JsonWorkLogManager.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "http/RoundRobinHttpSessionFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

TEST(EventsConcurrencyTest, EightThreadsLogEveryLineOnceAndWhole) {
    test::ScratchFolder scratch;
    const test::ScopedEnvironment tmpdir("TMPDIR", scratch.Path());
    PosixSharedFileFactory files;
    constexpr int threads = 8;
    constexpr int perThread = 150;
    {
        JsonWorkLogManager log(-1, "logs", &files);
        std::vector<std::thread> reporters;
        for (int t = 0; t < threads; ++t) {
            reporters.emplace_back([&log, t] {
                for (int i = 0; i < perThread; ++i) {
                    const std::string id = std::to_string(t) + "-" + std::to_string(i);
                    if (i % 2 == 0) {
                        const auto entry = log.CreateEventWork(LogLevel::TransferEvent);
                        entry->Tree().put("event", "e" + id);
                        log.Submit(entry);
                    } else {
                        log.OnWorkComplete(std::make_shared<test::DescribedWork>(
                                               std::vector{WorkResult::Error}, 0, "w" + id, "true"),
                                           WorkStatus(WorkResult::Error));
                    }
                }
            });
        }
        for (std::thread& reporter : reporters) {
            reporter.join();
        }
        // The entries may still be queued here, the file not yet created: look for it once the manager
        // has written them all.
    }
    std::vector<std::filesystem::path> logFiles;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch.Path())) {
        if (entry.is_regular_file() && entry.path().filename().string().starts_with("Log.")) {
            logFiles.push_back(entry.path());
        }
    }
    ASSERT_EQ(logFiles.size(), 1u);
    const std::string path = logFiles.front();
    const std::vector<std::string> lines = test::SplitLines(test::ReadFileText(path));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    const std::string stamp = R"re(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )re";
    const std::regex whole(
        stamp + R"re(\{"event":"(e\d+-\d+)"\}|)re" + stamp +
        R"re(\{"event":"OnWorkComplete","params":\{"name":"(w\d+-\d+)","important":"true",)re"
        R"re("workStatus":\{"result":"4","retry":"false"\}\}\})re");
    std::set<std::string> ids;
    std::map<int, int> lastOfThread;  // each reporter's entries come in the order it reported them
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
        const std::string id = match[1].matched ? match[1].str() : match[2].str();
        EXPECT_TRUE(ids.insert(id).second) << line;
        const int thread = std::stoi(id.substr(1));
        const int index = std::stoi(id.substr(id.find('-') + 1));
        const auto last = lastOfThread.find(thread);
        EXPECT_TRUE(last == lastOfThread.end() || last->second < index) << line;
        lastOfThread[thread] = index;
    }
}

// Real time: up to one analyticsTimeout (1 s) while the silent endpoint holds the threads.
TEST(EventsConcurrencyTest, ShutdownCancelsAndDropsWhileReportsFail) {
    test::SilentListener silent;
    const std::string closed = "http://127.0.0.1:" + std::to_string(test::ClosedPort());
    test::CountingRequestFactory factory;
    RoundRobinHttpSessionFactory sessions;
    auto manager = std::make_unique<JsonHttpAnalyticsManager>(
        &factory, sessions.CreateSession(), test::AnalyticsSettings(silent.Url(), closed, 1, 1));
    std::vector<std::thread> reporters;
    for (int t = 0; t < 4; ++t) {
        reporters.emplace_back([&manager, t] {
            for (int i = 0; i < 50; ++i) {
                const auto work = manager->CreateEventWork(
                    (i + t) % 3 == 0 ? AnalyticsManager::EventStream : AnalyticsManager::TransferStream);
                work->Tree().put("n", std::to_string(i));
                manager->Submit(work);
            }
        });
    }
    for (std::thread& reporter : reporters) {
        reporter.join();
    }
    manager.reset();
    // Only requests made before the deadline: one per thread held by the silent endpoint, and the pooled
    // ones that the closed port's failures re-arm.
    EXPECT_LE(factory.Created(), 2 * static_cast<int>(JsonHttpAnalyticsManager::ThreadCount));
}

}  // namespace
}  // namespace halcyne
