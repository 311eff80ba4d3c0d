#include "events/JsonWorkLogManager.hpp"

#include <optional>

#include "events/JsonText.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

// Hands a log work's line (none when its text stays empty) to the manager when the work's task ends, however
// it ends: in the work's turn when it has one, so that the turn is always ended.
class EntryWriter {
public:
    EntryWriter(LogManager& manager, std::optional<std::uint64_t> turn) : manager_(manager), turn_(turn) {}
    ~EntryWriter() {
        if (turn_) {
            manager_.WriteInTurn(*turn_, level, std::move(text));
        } else if (!text.empty()) {
            manager_.Write(level, text);
        }
    }
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;

    std::int32_t level = 0;
    std::string text;

private:
    LogManager& manager_;
    const std::optional<std::uint64_t> turn_;
};

// Describes the completion, reads "important" as a boolean (false when absent or not a boolean), and gives
// the writer the entry at baseLevel, plus 16 for an important work. Already on a log thread: the line is
// written here, not handed to a JsonLogEventWork queued behind it (a second work and wake-up for every
// line). An entry whose level the log does not take is not made at all; the description is moved into the
// entry rather than copied. Error, with nothing logged, when the entry cannot be written as JSON.
WorkStatus MakeWorkEntry(EntryWriter& writer, LogManager& manager, const Work& work, const WorkStatus& status,
                         const char* event, std::int32_t baseLevel) {
    // Most completions are of works that are known not to be important at a level the log refuses: their
    // entry is dropped before anything is described.
    if (!manager.Accepts(baseLevel)) {
        const std::optional<bool> important = work.KnownImportance();
        if (important.has_value() && !*important) {
            return WorkStatus(WorkResult::Success);
        }
    }
    ptree description;
    work.DescribeCompletion(status, description);
    const bool important = description.get<bool>("important", false);
    const std::int32_t level = baseLevel | (important ? LogLevel::Important : 0);
    if (!manager.Accepts(level)) {
        return WorkStatus(WorkResult::Success);
    }
    ptree entry;
    entry.put("event", std::string(event));
    entry.add_child("params", ptree()).swap(description);
    try {
        writer.text = WriteJsonText(entry);
    } catch (const JsonTextError&) {
        return WorkStatus(WorkResult::Error);
    }
    writer.level = level;
    return WorkStatus(WorkResult::Success);
}

}  // namespace

JsonWorkLogManager::JsonWorkLogManager(std::int32_t logLevel, std::string logsFolder,
                                       SharedFileFactory* fileFactory, LogClock clock, std::string header)
    : WorkLogManager(logLevel, std::move(logsFolder), fileFactory, std::move(clock), std::move(header)) {}

JsonWorkLogManager::~JsonWorkLogManager() {
    // The works call back into this object (CreateEventWork, Write): let them all finish while it is whole.
    Drain();
    WriteClosingEntry();
}

std::int32_t JsonWorkLogManager::CompletionLevel(WorkResult result) {
    return result == WorkResult::RetryableError || result == WorkResult::Error ? LogLevel::ErrorCompletion
                                                                               : LogLevel::Completion;
}

std::shared_ptr<TrackEventWork> JsonWorkLogManager::CreateEventWork(std::int32_t level) {
    return std::make_shared<JsonLogEventWork>(level, this);
}

void JsonWorkLogManager::Submit(std::shared_ptr<TrackEventWork> work) {
    if (auto entry = std::dynamic_pointer_cast<JsonLogEventWork>(work)) {
        QueueInTurn(std::move(entry));
    } else {
        Run(std::move(work));
    }
}

template <typename EntryWork>
void JsonWorkLogManager::QueueInTurn(std::shared_ptr<EntryWork> work) noexcept {
    const std::uint64_t turn = TakeTurn();
    work->turn = turn;
    if (!Run(std::move(work))) {
        WriteInTurn(turn, 0, {});
    }
}

bool JsonWorkLogManager::Refuses(const Work& work, std::int32_t baseLevel) const {
    if (Accepts(baseLevel)) {
        return false;
    }
    if (!Accepts(LogLevel::Important)) {
        return true;
    }
    const std::optional<bool> important = work.KnownImportance();
    return important.has_value() && !*important;
}

void JsonWorkLogManager::OnWorkComplete(std::shared_ptr<Work> work, const WorkStatus& status) {
    if (!work || Refuses(*work, CompletionLevel(status.result))) {
        return;
    }
    try {
        QueueInTurn(std::make_shared<SetUpOnCompleteWork>(this, std::move(work), status));
    } catch (...) {
        // A completion is never disturbed by its log entry.
    }
}

void JsonWorkLogManager::OnSimpleWorkRetry(std::shared_ptr<SimpleWork> work, const WorkStatus& status) {
    if (!work || Refuses(*work, LogLevel::Retry)) {
        return;
    }
    try {
        QueueInTurn(std::make_shared<SetUpOnRetryWork>(this, std::move(work), status));
    } catch (...) {
    }
}

JsonLogEventWork::JsonLogEventWork(std::int32_t level, LogManager* manager)
    : TrackEventWork(level), manager_(manager) {}

WorkStatus JsonLogEventWork::ExecuteTask() {
    EntryWriter writer(*manager_, turn);
    if (!manager_->Accepts(Type())) {
        return WorkStatus(WorkResult::Success);
    }
    try {
        writer.text = WriteJsonText(Tree());
    } catch (const JsonTextError&) {
        return WorkStatus(WorkResult::Error);
    }
    writer.level = Type();
    return WorkStatus(WorkResult::Success);
}

void JsonLogEventWork::Interrupt() {}

SetUpOnCompleteWork::SetUpOnCompleteWork(LogManager* manager, std::shared_ptr<Work> work, WorkStatus status)
    : manager_(manager), work_(std::move(work)), status_(std::move(status)) {}

WorkStatus SetUpOnCompleteWork::ExecuteTask() {
    EntryWriter writer(*manager_, turn);
    return MakeWorkEntry(writer, *manager_, *work_, status_, "OnWorkComplete",
                         JsonWorkLogManager::CompletionLevel(status_.result));
}

void SetUpOnCompleteWork::Interrupt() {}

SetUpOnRetryWork::SetUpOnRetryWork(LogManager* manager, std::shared_ptr<Work> work, WorkStatus status)
    : manager_(manager), work_(std::move(work)), status_(std::move(status)) {}

WorkStatus SetUpOnRetryWork::ExecuteTask() {
    EntryWriter writer(*manager_, turn);
    return MakeWorkEntry(writer, *manager_, *work_, status_, "OnSimpleWorkRetry", LogLevel::Retry);
}

void SetUpOnRetryWork::Interrupt() {}

}  // namespace halcyne
