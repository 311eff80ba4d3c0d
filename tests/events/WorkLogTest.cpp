#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "events/EventsTestSupport.hpp"
#include "events/JsonWorkLogManager.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"
#include "work/AsioWorkManager.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;
using test::DescribedWork;
using test::FixedLogStamp;
using test::FixedLogTime;
using test::ReadFileText;
using test::SplitLines;

class WorkLogTest : public ::testing::Test {
protected:
    std::unique_ptr<JsonWorkLogManager> MakeLog(std::int32_t level, LogClock clock = FixedLogTime) {
        return std::make_unique<JsonWorkLogManager>(level, "Vantrel Technologies/Halcyne/logs", &files_,
                                                    std::move(clock));
    }
    std::string LogsFolder() const { return scratch_ / "Vantrel Technologies/Halcyne/logs"; }
    // The only log file's lines (none when there is no file).
    std::vector<std::string> LogLines() const {
        if (!std::filesystem::exists(LogsFolder())) {
            return {};
        }
        std::vector<std::string> lines;
        for (const auto& entry : std::filesystem::directory_iterator(LogsFolder())) {
            for (std::string& line : SplitLines(ReadFileText(entry.path().string()))) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    }
    static void SubmitEvent(JsonWorkLogManager& log, const std::string& name) {
        const auto work = log.CreateEventWork(LogLevel::TransferEvent);
        work->Tree().put("event", name);
        log.Submit(work);
    }

    test::ScratchFolder scratch_;
    test::ScopedEnvironment tmpdir_{"TMPDIR", scratch_.Path()};
    PosixSharedFileFactory files_;
};

TEST_F(WorkLogTest, FileNameStampAndCounter) {
    EXPECT_EQ(LogManager::FileName(FixedLogTime(), 0), "Log.2026.12.10.03.04.05.txt");
    EXPECT_EQ(LogManager::FileName(FixedLogTime(), 12), "Log.2026.12.10.03.04.05.txt.12");
    EXPECT_EQ(LogManager::LineStamp(FixedLogTime()), FixedLogStamp);

    // The plain name and ".1" are taken: the log goes to ".2" and leaves the others alone.
    std::filesystem::create_directories(LogsFolder());
    test::WriteFileText(LogsFolder() + "/Log.2026.12.10.03.04.05.txt", "first\n");
    test::WriteFileText(LogsFolder() + "/Log.2026.12.10.03.04.05.txt.1", "second\n");
    auto log = MakeLog(-9);
    log->Write(LogLevel::TransferEvent, "{\"event\":\"Start\"}\n");
    EXPECT_EQ(log->FilePath(), LogsFolder() + "/Log.2026.12.10.03.04.05.txt.2");
    log->Write(LogLevel::TransferEvent, "{\"event\":\"Pause\"}\n");  // the same file stays open
    log.reset();
    EXPECT_EQ(ReadFileText(LogsFolder() + "/Log.2026.12.10.03.04.05.txt"), "first\n");
    EXPECT_EQ(ReadFileText(LogsFolder() + "/Log.2026.12.10.03.04.05.txt.1"), "second\n");
    EXPECT_EQ(
        ReadFileText(LogsFolder() + "/Log.2026.12.10.03.04.05.txt.2"),
        std::string(FixedLogStamp) + "{\"event\":\"Start\"}\n" + FixedLogStamp + "{\"event\":\"Pause\"}\n");
}

// The file a run's header opens begins with the header, whoever writes first, and ends with the closing
// entry after everything queued before the manager went; with level 0 there is neither.
TEST_F(WorkLogTest, TheHeaderComesFirstAndTheClosingEntryLast) {
    for (const std::int32_t level : {-9, 1, 0}) {
        SCOPED_TRACE(level);
        std::filesystem::remove_all(LogsFolder());
        auto log = std::make_unique<JsonWorkLogManager>(level, "Vantrel Technologies/Halcyne/logs", &files_,
                                                        FixedLogTime, "{\"event\":\"Header\"}\n");
        log->Open();
        EXPECT_EQ(log->FilePath().empty(), level == 0);
        log->Write(LogLevel::TransferEvent, "{\"event\":\"Initialize\"}\n");
        log->SetClosingEntry("{\"event\":\"Early\"}\n");
        log->SetClosingEntry("{\"event\":\"Closing\"}\n");  // the last one given
        SubmitEvent(*log, "Start");                         // queued: written before the closing entry
        log.reset();
        const std::string stamp = FixedLogStamp;
        std::vector<std::string> expected;
        if (level != 0) {
            for (const char* event : {"Header", "Initialize", "Start", "Closing"}) {
                expected.push_back(stamp + "{\"event\":\"" + event + "\"}");
            }
        }
        EXPECT_EQ(LogLines(), expected);
    }
}

TEST_F(WorkLogTest, NamesTakenUpToTheBoundDropTheLine) {
    std::filesystem::create_directories(LogsFolder());
    for (unsigned counter = 0; counter <= LogManager::MaxNameCounter; ++counter) {
        test::WriteFileText(LogsFolder() + "/" + LogManager::FileName(FixedLogTime(), counter), "");
    }
    auto log = MakeLog(-1);
    log->Write(LogLevel::TransferEvent, "{}\n");
    EXPECT_EQ(log->FilePath(), "");
    log.reset();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(LogsFolder()), {}),
              LogManager::MaxNameCounter + 1);
}

TEST_F(WorkLogTest, LevelTable) {
    // Each entry names itself; the table says at which log levels it is written.
    struct Entry {
        const char* name;
        std::int32_t level;  // for documentation: what the manager computes
        std::function<void(JsonWorkLogManager&)> report;
    };
    const auto complete = [](const char* name, WorkResult result, std::string important) {
        return [=](JsonWorkLogManager& log) {
            log.OnWorkComplete(std::make_shared<DescribedWork>(std::vector{result}, 0, name, important),
                               WorkStatus(result));
        };
    };
    // A work that says it is not important without being described: dropped only where its level is.
    const auto completeKnown = [](const char* name, WorkResult result) {
        return [=](JsonWorkLogManager& log) {
            log.OnWorkComplete(std::make_shared<DescribedWork>(std::vector{result}, 0, name, "", false),
                               WorkStatus(result));
        };
    };
    const auto retry = [](const char* name, std::string important) {
        return [=](JsonWorkLogManager& log) {
            log.OnSimpleWorkRetry(
                std::make_shared<DescribedWork>(std::vector{WorkResult::RetryableError}, 1, name, important),
                WorkStatus(WorkResult::RetryableError));
        };
    };
    const std::vector<Entry> entries = {
        {"routine", 8, complete("routine", WorkResult::Success, "")},
        {"interrupted", 8, complete("interrupted", WorkResult::Interrupted, "")},
        {"failed", 2, complete("failed", WorkResult::Error, "")},
        {"retryable", 2, complete("retryable", WorkResult::RetryableError, "")},
        {"importantDone", 24, complete("importantDone", WorkResult::Success, "true")},
        {"importantOne", 24, complete("importantOne", WorkResult::Failure, "1")},
        {"importantFailed", 18, complete("importantFailed", WorkResult::Error, "true")},
        {"notBoolean", 8, complete("notBoolean", WorkResult::Success, "yes")},
        {"falseImportant", 8, complete("falseImportant", WorkResult::Success, "false")},
        {"knownRoutine", 8, completeKnown("knownRoutine", WorkResult::Success)},
        {"knownFailed", 2, completeKnown("knownFailed", WorkResult::Error)},
        {"retried", 4, retry("retried", "")},
        {"importantRetried", 20, retry("importantRetried", "true")},
        {"transferEvent", 1, [](JsonWorkLogManager& log) { SubmitEvent(log, "transferEvent"); }},
    };
    for (const std::int32_t logLevel : {-9, 1, 8, 2, 4, 16, 0, -1}) {
        SCOPED_TRACE(logLevel);
        std::filesystem::remove_all(scratch_ / "Vantrel Technologies");
        auto log = MakeLog(logLevel);
        for (const Entry& entry : entries) {
            entry.report(*log);
        }
        log.reset();
        std::set<std::string> written;
        for (const std::string& line : LogLines()) {
            for (const Entry& entry : entries) {
                if (line.find("\":\"" + std::string(entry.name) + "\"") != std::string::npos) {
                    EXPECT_TRUE(written.insert(entry.name).second) << line;
                }
            }
        }
        std::set<std::string> expected;
        for (const Entry& entry : entries) {
            if ((entry.level & logLevel) != 0) {
                expected.insert(entry.name);
            }
        }
        EXPECT_EQ(written, expected);
        // Nothing passes level 0: no file, not even the folder.
        EXPECT_EQ(std::filesystem::exists(scratch_ / "Vantrel Technologies"), logLevel != 0);
    }
}

TEST_F(WorkLogTest, ExactLinesFromRealWorks) {
    auto log = MakeLog(-9);
    {
        AsioWorkManager workers(2);
        // Retried once, then done: one retry entry (20) and one completion entry (24).
        const auto fetch = std::make_shared<DescribedWork>(
            std::vector{WorkResult::RetryableError, WorkResult::Success}, 1, "FetchWork", "true");
        // Fails outright: a completion entry at level 2.
        const auto broken = std::make_shared<DescribedWork>(std::vector{WorkResult::Error}, 0, "BrokenWork");
        // Succeeds, unimportant: level 8, not written at -9.
        const auto quiet = std::make_shared<DescribedWork>(std::vector{WorkResult::Success}, 0, "QuietWork");
        test::CompletionRecorder done;
        for (const auto& work : {fetch, broken, quiet}) {
            work->AddWorkCompleteCallback(log.get());
            work->AddRetryCallback(log.get());
            work->AddWorkCompleteCallback(&done);
            workers.Execute(work);
        }
        while (done.Count() < 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const auto start = log->CreateEventWork(LogLevel::TransferEvent);
    start->Tree().put("event", "Start");
    start->Tree().put("params.transferId", "0123456789abcdef0123456789abcdef");
    start->Tree().put("params.destPath", "/home/u/Games/A \"b\"");
    log->Submit(start);
    log.reset();

    const std::string s = FixedLogStamp;
    const std::multiset<std::string> expected = {
        s + R"({"event":"OnSimpleWorkRetry","params":{"name":"FetchWork","important":"true",)"
            R"("workStatus":{"result":"3","retry":"true","data":{"errorMessage":"FetchWork"}}}})",
        s + R"({"event":"OnWorkComplete","params":{"name":"FetchWork","important":"true",)"
            R"("workStatus":{"result":"0","retry":"false","data":{"errorMessage":"FetchWork"}}}})",
        s + R"({"event":"OnWorkComplete","params":{"name":"BrokenWork",)"
            R"("workStatus":{"result":"4","retry":"false","data":{"errorMessage":"BrokenWork"}}}})",
        s + R"({"event":"Start","params":{"transferId":"0123456789abcdef0123456789abcdef",)"
            R"("destPath":"\/home\/u\/Games\/A \"b\""}})",
    };
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected);
}

// A work whose completion takes a while to describe on its log thread.
class SlowlyDescribedWork : public DescribedWork {
public:
    using DescribedWork::DescribedWork;
    void Describe(ptree& tree) const override {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        DescribedWork::Describe(tree);
    }
};

// Both log threads write, and the first entry is slow to describe while the other thread is free: the file
// still has every entry in the order reported.
TEST_F(WorkLogTest, EveryEntryReportedBeforeDestructionIsWrittenInTheOrderReported) {
    auto log = MakeLog(-1);
    log->OnWorkComplete(std::make_shared<SlowlyDescribedWork>(std::vector{WorkResult::Error}, 0, "Slow"),
                        WorkStatus(WorkResult::Error));
    const auto work = std::make_shared<DescribedWork>(std::vector{WorkResult::Error}, 0, "W");
    for (int i = 0; i < 300; ++i) {
        log->OnWorkComplete(work, WorkStatus(WorkResult::Error));  // two steps: set-up, then the entry
        SubmitEvent(*log, "e" + std::to_string(i));
    }
    log.reset();
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 601u);
    EXPECT_NE(lines[0].find(R"("name":"Slow")"), std::string::npos) << lines[0];
    for (int i = 0; i < 300; ++i) {
        EXPECT_NE(lines[1 + 2 * i].find(R"("name":"W")"), std::string::npos) << lines[1 + 2 * i];
        EXPECT_EQ(lines[2 + 2 * i],
                  std::string(FixedLogStamp) + R"({"event":"e)" + std::to_string(i) + R"("})");
    }
}

TEST_F(WorkLogTest, TreesThatCannotBeWrittenAreNotLogged) {
    auto log = MakeLog(-1);
    const auto entry = log->CreateEventWork(LogLevel::TransferEvent);
    entry->Tree().put("event", "x");
    entry->Tree().get_child("event").put("child", "y");  // data and a child
    EXPECT_EQ(entry->Run().result, WorkResult::Error);
    EXPECT_EQ(log->FilePath(), "");
    // An entry whose level does not pass is not even serialised.
    auto quiet = MakeLog(2);
    const auto skipped = quiet->CreateEventWork(LogLevel::TransferEvent);
    skipped->Tree().data() = "root data";
    EXPECT_EQ(skipped->Run().result, WorkResult::Success);
}

TEST_F(WorkLogTest, BlockedLogsFolderLosesLinesUntilFreed) {
    std::filesystem::create_directories(scratch_ / "Vantrel Technologies/Halcyne");
    test::WriteFileText(LogsFolder(), "a regular file where the folder should be");
    auto log = MakeLog(-1);
    log->Write(LogLevel::TransferEvent, "{\"n\":\"1\"}\n");
    EXPECT_EQ(log->FilePath(), "");
    std::filesystem::remove(LogsFolder());
    log->Write(LogLevel::TransferEvent, "{\"n\":\"2\"}\n");
    log.reset();
    EXPECT_EQ(LogLines(), std::vector<std::string>{std::string(FixedLogStamp) + "{\"n\":\"2\"}"});
    EXPECT_EQ(std::filesystem::status(LogsFolder()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
}

TEST_F(WorkLogTest, NoTemporaryDirectoryWritesNothing) {
    const test::ScopedEnvironment noTmp("TMPDIR", std::nullopt);
    const test::ScopedEnvironment noCache("XDG_CACHE_HOME", std::nullopt);
    const test::ScopedEnvironment noHome("HOME", std::nullopt);
    const std::string cwd = std::filesystem::current_path().string();
    auto log = MakeLog(-1);
    log->Write(LogLevel::TransferEvent, "{}\n");
    EXPECT_EQ(log->FilePath(), "");
    EXPECT_FALSE(std::filesystem::exists(cwd + "/Vantrel Technologies"));
}

TEST_F(WorkLogTest, FullDiskNeverGluesALineToAFragment) {
    // In a child limited to 1000 bytes per file: three 300-byte lines (22 + 270 + 8) fit, the fourth fails
    // part-way, so do the next ones; a short line then takes the fragment's place, and later lines fail
    // again.
    const test::ProcessResult child = test::RunInChildProcess(
        [&] {
            auto log = MakeLog(-1);
            const auto line = [](char c, std::size_t size) {
                return "{\"" + std::string(size, c) + "\":\"\"}\n";
            };
            for (char c = 'a'; c < 'g'; ++c) {
                log->Write(LogLevel::TransferEvent, line(c, 270));
            }
            log->Write(LogLevel::TransferEvent, line('s', 10));
            for (char c = 'h'; c < 'k'; ++c) {
                log->Write(LogLevel::TransferEvent, line(c, 270));
            }
            return log->FilePath();
        },
        {{RLIMIT_FSIZE, 1000}});
    ASSERT_EQ(child.exitStatus, 0) << child.output;
    const std::string text = ReadFileText(child.output);
    EXPECT_EQ(text.size(), 1000u);
    std::string rest;
    const std::vector<std::string> lines = SplitLines(text, &rest);
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const char c = i < 3 ? static_cast<char>('a' + i) : 's';
        const std::size_t size = i < 3 ? 270 : 10;
        EXPECT_EQ(lines[i], FixedLogStamp + ("{\"" + std::string(size, c) + "\":\"\"}"));
    }
    EXPECT_EQ(rest.find('\n'), std::string::npos);  // what is left of the fragment is no line
}

}  // namespace
}  // namespace halcyne
