#include <algorithm>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Housekeeping.hpp"

namespace halcyne::Updater {

namespace {

struct Entry {
    std::string name;
    struct timespec modified {};
};

// The regular files of `folder` whose names `wanted` accepts, with their modification times; links and
// anything else are skipped. Empty when the folder cannot be opened (or is a link).
template <class Wanted>
std::vector<Entry> RegularFiles(int folder, Wanted wanted) {
    std::vector<Entry> entries;
    const int listing = ::dup(folder);
    if (listing < 0) {
        return entries;
    }
    DIR* directory = ::fdopendir(listing);
    if (directory == nullptr) {
        ::close(listing);
        return entries;
    }
    while (const dirent* item = ::readdir(directory)) {
        const std::string_view name = item->d_name;
        if (!wanted(name)) {
            continue;
        }
        struct stat status {};
        if (::fstatat(folder, item->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        entries.push_back(Entry{std::string(name), status.st_mtim});
    }
    ::closedir(directory);
    return entries;
}

int OpenFolder(const std::string& folder) {
    return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::size_t RemoveAll(int folder, const std::vector<Entry>& entries) {
    std::size_t removed = 0;
    for (const Entry& entry : entries) {
        if (::unlinkat(folder, entry.name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

bool Older(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

}  // namespace

std::size_t RemoveStaleStoredTransfers(const std::string& folder, std::chrono::system_clock::time_point now,
                                       std::chrono::hours maxAge) {
    const int descriptor = OpenFolder(folder);
    if (descriptor < 0) {
        return 0;
    }
    const auto limit = std::chrono::duration_cast<std::chrono::seconds>((now - maxAge).time_since_epoch());
    std::vector<Entry> stale = RegularFiles(descriptor, [](std::string_view name) {
        constexpr std::string_view suffix = ".json";
        return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    });
    std::erase_if(stale, [&](const Entry& entry) { return entry.modified.tv_sec >= limit.count(); });
    const std::size_t removed = RemoveAll(descriptor, stale);
    ::close(descriptor);
    return removed;
}

std::size_t KeepNewestLogs(const std::string& folder, const std::string& current, std::size_t keep) {
    const int descriptor = OpenFolder(folder);
    if (descriptor < 0) {
        return 0;
    }
    std::vector<Entry> logs = RegularFiles(
        descriptor, [&](std::string_view name) { return name.starts_with("Log.") && name != current; });
    std::size_t removed = 0;
    if (logs.size() > keep) {
        // Newest first: by modification time, and by name (which holds the start time) between equals.
        std::sort(logs.begin(), logs.end(), [](const Entry& a, const Entry& b) {
            if (Older(b.modified, a.modified) || Older(a.modified, b.modified)) {
                return Older(b.modified, a.modified);
            }
            return a.name > b.name;
        });
        logs.erase(logs.begin(), logs.begin() + static_cast<std::ptrdiff_t>(keep));
        removed = RemoveAll(descriptor, logs);
    }
    ::close(descriptor);
    return removed;
}

}  // namespace halcyne::Updater
