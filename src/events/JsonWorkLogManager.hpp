// The work log in the JSON text form, and the works that carry its entries. Any thread may create and
// submit entries and report completions and retries; the entries are described, written as JSON and
// appended to the file on the manager's 2 threads (see LogManager and WorkLogManager for the contracts).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "events/LogManager.hpp"
#include "work/SimpleWork.hpp"
#include "work/WorkStatus.hpp"

namespace halcyne {

class JsonWorkLogManager : public WorkLogManager {
public:
    // The file factory is not owned and must outlive the manager. An empty clock is the system clock.
    // `header`: the file's first line (LogManager).
    JsonWorkLogManager(std::int32_t logLevel, std::string logsFolder, SharedFileFactory* fileFactory,
                       LogClock clock = {}, std::string header = {});
    // Writes every entry queued before (and by the works running during) destruction, joins, then writes
    // the closing entry.
    ~JsonWorkLogManager() override;

    // A JsonLogEventWork of this level with an empty tree.
    std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t level) override;
    // Queues the entry in its turn: entries are written in the order they are submitted and reported.
    void Submit(std::shared_ptr<TrackEventWork> work) override;
    // Queue a SetUpOnCompleteWork or SetUpOnRetryWork and return at once; nothing is queued when no level
    // the entry could have passes the log level, or when only the important bit would pass it and the work
    // knows it is not important (KnownImportance, asked on the calling thread): most completions of a
    // transfer's chunks end here, without a work or a wake-up of the log threads. Never throw.
    void OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) override;
    void OnSimpleWorkRetry(std::shared_ptr<SimpleWork> work, const WorkStatus& status) override;

    // The level of a completion entry before the important bit: 2 for RetryableError and Error, else 8.
    static std::int32_t CompletionLevel(WorkResult result);

private:
    // Whether the log takes no entry of this work at `baseLevel`, as far as is known without describing it.
    bool Refuses(const Work& work, std::int32_t baseLevel) const;
    // Takes the entry's turn and queues it; a work that cannot be queued ends its turn with nothing.
    template <typename EntryWork>
    void QueueInTurn(std::shared_ptr<EntryWork> work) noexcept;
};

// One entry: writes its tree (in the JSON text form) at its level through its manager. Error when the tree
// cannot be written as JSON, and nothing is logged.
class JsonLogEventWork : public TrackEventWork {
public:
    JsonLogEventWork(std::int32_t level, LogManager* manager);
    WorkStatus ExecuteTask() override;
    void Interrupt() override;
    // The entry's place in the log's order (LogManager::TakeTurn): none for an entry run without being
    // submitted, which is written whenever it runs. Set before the work is queued.
    std::optional<std::uint64_t> turn;

private:
    LogManager* const manager_;
};

// Turns a completion into an entry on a log thread and writes it there: "event" = "OnWorkComplete",
// "params" = the work's completion description; level 8 or 2, plus 16 for a work that describes "important"
// as true.
class SetUpOnCompleteWork : public SimpleWork {
public:
    SetUpOnCompleteWork(LogManager* manager, std::shared_ptr<Work> work, WorkStatus status);
    WorkStatus ExecuteTask() override;
    void Interrupt() override;
    // The entry's place in the log's order (LogManager::TakeTurn): none for an entry run without being
    // submitted, which is written whenever it runs. Set before the work is queued.
    std::optional<std::uint64_t> turn;

private:
    LogManager* const manager_;
    const std::shared_ptr<Work> work_;
    const WorkStatus status_;
};

// The same for a retry: "event" = "OnSimpleWorkRetry", level 4 (20 for an important work).
class SetUpOnRetryWork : public SimpleWork {
public:
    SetUpOnRetryWork(LogManager* manager, std::shared_ptr<Work> work, WorkStatus status);
    WorkStatus ExecuteTask() override;
    void Interrupt() override;
    // The entry's place in the log's order (LogManager::TakeTurn): none for an entry run without being
    // submitted, which is written whenever it runs. Set before the work is queued.
    std::optional<std::uint64_t> turn;

private:
    LogManager* const manager_;
    const std::shared_ptr<Work> work_;
    const WorkStatus status_;
};

}  // namespace halcyne
