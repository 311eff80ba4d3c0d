// The work log: one file of JSON lines per run, under the temporary directory, written on the log
// manager's own 2 threads. Entries come from transfer events (through CreateEventWork and Submit) and
// from works that register a WorkLogManager as their completion and retry observer. Nothing here ever
// reaches the caller: a log that cannot be opened or written loses the line and is tried again at the next.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "events/EventManager.hpp"
#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"
#include "work/SimpleWork.hpp"
#include "work/Work.hpp"

namespace halcyne {

// The UTC clock of the log's file names and line stamps; tests set it to fixed times.
using LogClock = std::function<std::chrono::system_clock::time_point()>;

// Entry levels, bits of the log level: an entry is written when (entry level AND log level) is not 0.
namespace LogLevel {
inline constexpr std::int32_t TransferEvent = 1;
inline constexpr std::int32_t ErrorCompletion = 2;  // a completion with RetryableError or Error
inline constexpr std::int32_t Retry = 4;            // a retry of a simple work
inline constexpr std::int32_t Completion = 8;       // a completion with any other result
inline constexpr std::int32_t Important = 16;       // added for works that describe "important" = true
}  // namespace LogLevel

class LogManager : public EventManager {
public:
    static constexpr unsigned ThreadCount = 2;
    // File name counters tried after the plain name is taken; past the last one the line is dropped.
    static constexpr unsigned MaxNameCounter = 1000;

    // Writes one line, "[%Y-%m-%d %H:%M:%S] " in UTC followed by `text` (which should end in a line feed),
    // with one write of the file, when the level passes. Opens the file first if it is not open. A line
    // that fails part-way is overwritten by the next, so a line never follows a fragment. Never throws.
    // Called on the log threads; serialised by the manager's lock.
    void Write(std::int32_t level, const std::string& text) noexcept;

    // Entries are written in the order they were reported, though the 2 log threads describe and write
    // them side by side: a report takes the next turn on the reporting thread (TakeTurn, which never
    // waits), and the log thread that has its line ends the turn with WriteInTurn. A line whose earlier
    // turns are not yet ended waits in memory and is written by the thread that ends the last of them.
    // Every turn taken must be ended once, with an empty text when the entry is not written; a line still
    // waiting when the closing entry is written goes before it. Any thread; never throw.
    std::uint64_t TakeTurn() noexcept;
    // Writes `text` as Write does, in its turn.
    void WriteInTurn(std::uint64_t turn, std::int32_t level, std::string text) noexcept;
    // Opens the file now unless it is open or the log level is 0 (nothing is then ever written), so that
    // FilePath names it from here on. Never throws. Any thread.
    void Open() noexcept;
    // The entry that ends the file: written (at every level but 0) once every entry queued before the
    // manager's destruction has been written; a later call replaces it. `text` as for Write. Any thread.
    void SetClosingEntry(std::string text);

    bool Accepts(std::int32_t level) const { return (level & logLevel_) != 0; }
    std::int32_t GetLogLevel() const { return logLevel_; }
    // The absolute path of the log file; "" until it has been created.
    std::string FilePath() const;

    // "Log.%Y.%m.%d.%H.%M.%S.txt" in UTC, followed by "." and the counter when it is not 0.
    static std::string FileName(std::chrono::system_clock::time_point time, unsigned counter);
    // "[%Y-%m-%d %H:%M:%S] " in UTC.
    static std::string LineStamp(std::chrono::system_clock::time_point time);

protected:
    // `logsFolder` is relative to the temporary directory; the file factory is not owned and must outlive
    // the manager. An empty clock is the system clock. `header`, when given, is the first line of the file
    // (written at every level but 0; `text` as for Write).
    LogManager(std::int32_t logLevel, std::string logsFolder, SharedFileFactory* fileFactory, LogClock clock,
               std::string header = {});
    ~LogManager() override;

    // Writes the closing entry, if any. The most derived destructor calls it after Drain.
    void WriteClosingEntry() noexcept;

private:
    // Creates the file under a free name in the logs folder, then writes an entry for each folder that the
    // temporary directory's choice refused. False, or an exception, when it cannot; called under mutex_.
    bool OpenFile();
    // Writes one stamped line into the open file; a failed write is overwritten by the next line. Called
    // under mutex_.
    void WriteLine(const std::string& text);
    // Write's body: opens the file if need be and writes the line when its level passes. Called under
    // mutex_; never throws.
    void WriteLocked(std::int32_t level, const std::string& text) noexcept;
    // Writes the waiting lines whose turns have come, in order (all of them when `all`). Under mutex_.
    void WriteWaitingLines(bool all) noexcept;

    struct WaitingLine {
        std::int32_t level;
        std::string text;
    };

    std::atomic<std::uint64_t> turnsTaken_{0};
    // Guards file_, filePath_, position_, closingEntry_, the turns and the stamp cache; held for a whole
    // line.
    mutable std::mutex mutex_;
    std::uint64_t nextTurn_ = 0;                         // the first turn not yet ended
    std::map<std::uint64_t, WaitingLine> waitingLines_;  // ended turns after nextTurn_, by turn
    const std::int32_t logLevel_;
    const std::string logsFolder_;
    SharedFileFactory* const fileFactory_;
    const LogClock clock_;
    const std::string header_;
    std::string closingEntry_;
    std::shared_ptr<SharedFile> file_;  // empty until the first line passes the level test
    std::string filePath_;
    std::uint64_t position_ = 0;    // the end of the last whole line: where the next line goes
    std::time_t stampSecond_ = -1;  // the second that stamp_ shows
    std::string stamp_;
};

// A log manager that works register as their completion and retry observer (AddWorkCompleteCallback,
// AddRetryCallback). OnWorkComplete and OnSimpleWorkRetry only queue a work and return at once, on any
// thread; the completion is described later, on a log thread.
//
// The contract for observed works: the log keeps the work alive and calls its DescribeCompletion (so its
// Describe) on a log thread at some later time, while the work may be running again on another thread (a
// retry, or a workflow queuing it again). Describe must therefore read only what is safe to read
// concurrently with the work's own task: fields fixed at construction, atomics, or fields taken under the
// work's own lock.
class WorkLogManager : public LogManager, public WorkCompleteCallback, public SimpleWorkRetryCallback {
protected:
    using LogManager::LogManager;
};

}  // namespace halcyne
