#include "events/LogManager.hpp"

#include <ctime>
#include <limits>

#include <boost/property_tree/ptree.hpp>

#include "common/Paths.hpp"
#include "events/JsonText.hpp"
#include "file/FileException.hpp"

namespace halcyne {

namespace {

std::string FormatUtc(std::chrono::system_clock::time_point time, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    if (::gmtime_r(&seconds, &utc) == nullptr) {
        return {};
    }
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &utc);
    return std::string(buffer, length);
}

}  // namespace

LogManager::LogManager(std::int32_t logLevel, std::string logsFolder, SharedFileFactory* fileFactory,
                       LogClock clock, std::string header)
    : EventManager(ThreadCount),
      logLevel_(logLevel),
      logsFolder_(std::move(logsFolder)),
      fileFactory_(fileFactory),
      clock_(clock ? std::move(clock) : LogClock([] { return std::chrono::system_clock::now(); })),
      header_(std::move(header)) {}

LogManager::~LogManager() = default;

std::string LogManager::FileName(std::chrono::system_clock::time_point time, unsigned counter) {
    std::string name = FormatUtc(time, "Log.%Y.%m.%d.%H.%M.%S.txt");
    if (counter != 0) {
        name += '.';
        name += std::to_string(counter);
    }
    return name;
}

std::string LogManager::LineStamp(std::chrono::system_clock::time_point time) {
    return FormatUtc(time, "[%Y-%m-%d %H:%M:%S] ");
}

std::string LogManager::FilePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return filePath_;
}

void LogManager::Open() noexcept {
    if (logLevel_ == 0) {
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_) {
            OpenFile();
        }
    } catch (...) {
        // As for a line: the next one tries again.
    }
}

void LogManager::SetClosingEntry(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    closingEntry_ = std::move(text);
}

void LogManager::WriteClosingEntry() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteWaitingLines(true);
    const std::string text = std::move(closingEntry_);
    closingEntry_.clear();
    WriteLocked(-1, text);
}

void LogManager::Write(std::int32_t level, const std::string& text) noexcept {
    if (!Accepts(level)) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLocked(level, text);
}

std::uint64_t LogManager::TakeTurn() noexcept {
    return turnsTaken_.fetch_add(1);
}

void LogManager::WriteInTurn(std::uint64_t turn, std::int32_t level, std::string text) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (turn > nextTurn_) {
        try {
            waitingLines_.emplace(turn, WaitingLine{level, std::move(text)});
        } catch (...) {
            // Lost, and the lines after it wait until its turn would have been ended: the closing entry.
        }
        return;
    }
    WriteLocked(level, text);
    if (turn == nextTurn_) {
        ++nextTurn_;
        WriteWaitingLines(false);
    }
}

void LogManager::WriteWaitingLines(bool all) noexcept {
    while (!waitingLines_.empty() && (all || waitingLines_.begin()->first == nextTurn_)) {
        const auto first = waitingLines_.begin();
        WriteLocked(first->second.level, first->second.text);
        nextTurn_ = first->first + 1;
        waitingLines_.erase(first);
    }
}

void LogManager::WriteLocked(std::int32_t level, const std::string& text) noexcept {
    if (text.empty() || !Accepts(level)) {
        return;
    }
    try {
        if (!file_ && !OpenFile()) {
            return;
        }
        WriteLine(text);
    } catch (...) {
        // A log that cannot be opened or written loses the line; the next line tries again.
    }
}

void LogManager::WriteLine(const std::string& text) {
    // Stamp and text in one write, so that a failure never leaves a stamp without its text behind. Lines
    // come many to a second: the stamp is formatted once per second.
    const auto now = clock_();
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != stampSecond_) {
        stamp_ = LineStamp(now);
        stampSecond_ = second;
    }
    const std::string line = stamp_ + text;
    if (line.size() > std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    try {
        file_->Write(line.data(), static_cast<std::uint32_t>(line.size()));
        position_ += line.size();
    } catch (...) {
        // Part of the line may be on disk (a full disk, a size limit): the next line starts where this one
        // did and overwrites the fragment. A fragment holds no line feed, so whatever of it is left after the
        // last whole line never reads as a line.
        try {
            file_->Seek(position_);
        } catch (...) {
        }
    }
}

bool LogManager::OpenFile() {
    const TemporaryDirectoryChoice temporary = CurrentTemporaryDirectory();
    if (temporary.directory.empty() || fileFactory_ == nullptr) {
        return false;  // never relative to the current folder
    }
    // The log goes only into a folder that is the user's own and private all the way down.
    const std::string folder = JoinPath(temporary.directory, logsFolder_);
    if (!CreatePrivateFolder(folder)) {
        return false;
    }
    for (unsigned counter = 0; counter <= MaxNameCounter; ++counter) {
        const std::string name = FileName(clock_(), counter);
        try {
            file_ = fileFactory_->Create(folder, name, SharedFileMode::CreateNew, 0, WholeFileUpperBound);
        } catch (const FileInUseException&) {
            continue;  // the name is taken
        }
        filePath_ = JoinPath(folder, name);
        position_ = 0;
        if (!header_.empty()) {
            WriteLine(header_);
        }
        // The log is the first place that can say which folders the temporary directory's choice passed
        // over, and why.
        for (const RefusedFolder& refused : temporary.refused) {
            boost::property_tree::ptree entry;
            entry.put("event", "FolderRefused");
            entry.put("params.folder", refused.folder);
            entry.put("params.reason", refused.reason);
            WriteLine(WriteJsonText(entry));
        }
        return true;
    }
    return false;
}

}  // namespace halcyne
