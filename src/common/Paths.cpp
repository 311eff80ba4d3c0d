#include "common/Paths.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/FileDescriptor.hpp"

namespace halcyne {

namespace fs = boost::filesystem;

namespace {

// fs::absolute, but the current directory is asked for only when the path is relative (fs::absolute's
// default argument asks for it every time, a system call for every path built).
fs::path Absolute(const fs::path& path) {
    return path.is_absolute() ? path : fs::absolute(path);
}

}  // namespace

std::string JoinPath(const std::string& base, const std::string& relative) {
    const auto start = relative.find_first_not_of('/');
    const std::string rest = start == std::string::npos ? std::string() : relative.substr(start);
    if (rest.empty()) {
        return Absolute(fs::path(base)).string();
    }
    return fs::absolute(fs::path(rest), Absolute(fs::path(base))).string();
}

namespace {

std::optional<std::string> Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

std::string Append(const std::string& folder, const std::string& name) {
    return folder == "/" ? folder + name : folder + "/" + name;
}

std::string ModeText(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string OwnerText(const struct stat& st) {
    return "is owned by uid " + std::to_string(st.st_uid) + ", not by the user (uid " +
           std::to_string(::geteuid()) + ")";
}

// The temporary directory's own test: it is the user's or root's, and when anyone but its owner can write to
// it, it is sticky (nobody can then rename or remove what the user keeps in it). Empty when it passes.
std::string TemporaryDirectoryFault(const struct stat& st) {
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        return OwnerText(st);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return "is writable by others and not sticky (mode " + ModeText(st.st_mode) + ")";
    }
    return {};
}

// The test of every folder below the temporary directory: the user's own, and nobody else can write to it.
std::string PrivateFolderFault(const struct stat& st) {
    if (st.st_uid != ::geteuid()) {
        return OwnerText(st);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "is writable by group or others (mode " + ModeText(st.st_mode) + ")";
    }
    return {};
}

// Why `name` in the folder `parent` could not be opened as a folder without following a link.
std::string OpenFault(int parent, const std::string& name, int code) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            return "is a symbolic link";
        }
        if (!S_ISDIR(st.st_mode)) {
            return "is not a directory";
        }
    }
    return std::string("cannot be opened: ") + std::strerror(code);
}

// Opens the temporary directory (a symbolic link to it is followed: it is the user's own setting) and
// applies its test.
FileDescriptor OpenTemporaryDirectory(const std::string& path, RefusedFolder& refusal) {
    FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        refusal = {path, std::string("cannot be opened: ") + std::strerror(errno)};
        return {};
    }
    struct stat st {};
    if (::fstat(folder.Get(), &st) != 0) {
        refusal = {path, std::string("cannot be examined: ") + std::strerror(errno)};
        return {};
    }
    const std::string fault = TemporaryDirectoryFault(st);
    if (!fault.empty()) {
        refusal = {path, fault};
        return {};
    }
    return folder;
}

// Walks `relative` below the open folder `base` (at `basePath`) one component at a time, each opened with
// O_NOFOLLOW relative to its parent's descriptor and tested before anything below it is touched. With
// `create` a missing component is made with mode 0700 (set again through its descriptor when the umask or
// the parent took bits away); without it the walk ends, as a success, at the first missing component.
bool WalkPrivateFolder(int base, const std::string& basePath, const std::string& relative, bool create,
                       RefusedFolder& refusal) {
    FileDescriptor current;
    int parent = base;
    std::string path = basePath;
    std::size_t position = 0;
    while (position < relative.size()) {
        std::size_t next = relative.find('/', position);
        if (next == std::string::npos) {
            next = relative.size();
        }
        const std::string name = relative.substr(position, next - position);
        position = next + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        path = Append(path, name);
        if (name == "..") {
            refusal = {path, "climbs to a parent folder"};
            return false;
        }
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        bool created = false;
        FileDescriptor child(::openat(parent, name.c_str(), flags));
        int code = errno;
        if (!child && code == ENOENT) {
            if (!create) {
                return true;
            }
            if (::mkdirat(parent, name.c_str(), 0700) == 0) {
                created = true;
            } else if (errno != EEXIST) {  // EEXIST: made meanwhile by someone; it is tested below
                refusal = {path, std::string("cannot be created: ") + std::strerror(errno)};
                return false;
            }
            child = FileDescriptor(::openat(parent, name.c_str(), flags));
            code = errno;
        }
        if (!child) {
            refusal = {path, OpenFault(parent, name, code)};
            return false;
        }
        struct stat st {};
        if (::fstat(child.Get(), &st) != 0) {
            refusal = {path, std::string("cannot be examined: ") + std::strerror(errno)};
            return false;
        }
        if (created && (st.st_mode & 07777) != 0700) {
            if (::fchmod(child.Get(), 0700) != 0) {
                refusal = {path, std::string("cannot be made private: ") + std::strerror(errno)};
                return false;
            }
            st.st_mode = (st.st_mode & ~static_cast<mode_t>(07777)) | 0700;
        }
        const std::string fault = PrivateFolderFault(st);
        if (!fault.empty()) {
            refusal = {path, fault};
            return false;
        }
        current = std::move(child);
        parent = current.Get();
    }
    return true;
}

// The absolute form of a candidate, without trailing separators; empty when it cannot be made absolute.
std::string Normalised(const std::string& path) {
    std::string absolute;
    try {
        absolute = fs::absolute(fs::path(path)).string();
    } catch (const fs::filesystem_error&) {
        return {};
    }
    while (absolute.size() > 1 && absolute.back() == '/') {
        absolute.pop_back();
    }
    return absolute;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates the cache directory and its missing parents, each new one with mode 0700. Its existing parents
// are the user's own setting (a home folder, a link to another disk) and are followed as they are.
bool CreateCacheDirectory(const std::string& path, std::string& why) {
    std::size_t position = 1;
    while (position <= path.size()) {
        std::size_t next = path.find('/', position);
        if (next == std::string::npos) {
            next = path.size();
        }
        const std::string current = path.substr(0, next);
        position = next + 1;
        if (current.back() == '/') {
            continue;
        }
        if (::mkdir(current.c_str(), 0700) == 0) {
            const FileDescriptor made(
                ::open(current.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st {};
            if (made && ::fstat(made.Get(), &st) == 0 && (st.st_mode & 07777) != 0700) {
                ::fchmod(made.Get(), 0700);
            }
            continue;
        }
        const int code = errno;
        if (code == EEXIST && IsDirectory(current)) {
            continue;
        }
        why = current + ": " + (code == EEXIST ? std::string("not a directory") : std::strerror(code));
        return false;
    }
    return true;
}

// The environment the choice was made in.
struct ChoiceKey {
    std::optional<std::string> tmpdir, cache, home;
    bool operator==(const ChoiceKey&) const = default;
};

ChoiceKey CurrentKey() {
    return {Environment("TMPDIR"), Environment("XDG_CACHE_HOME"), Environment("HOME")};
}

TemporaryDirectoryChoice Evaluate(const ChoiceKey& key, const std::vector<std::string>& folders) {
    TemporaryDirectoryChoice choice;
    const auto tryCandidate = [&](const std::string& path) {
        RefusedFolder refusal;
        const FileDescriptor base = OpenTemporaryDirectory(path, refusal);
        bool usable = static_cast<bool>(base);
        // Every folder is tested before any is created, so that a refused candidate gets nothing.
        for (int pass = 0; pass < 2 && usable; ++pass) {
            for (const std::string& folder : folders) {
                if (!WalkPrivateFolder(base.Get(), path, folder, pass == 1, refusal)) {
                    usable = false;
                    break;
                }
            }
        }
        if (usable) {
            choice.directory = path;
        } else {
            choice.refused.push_back(std::move(refusal));
        }
        return usable;
    };

    if (key.tmpdir && !key.tmpdir->empty() && IsDirectory(*key.tmpdir)) {
        const std::string tmpdir = Normalised(*key.tmpdir);
        if (!tmpdir.empty() && tryCandidate(tmpdir)) {
            return choice;
        }
    }
    std::string cache = key.cache.value_or(std::string());
    std::string note;
    if (cache.empty() || cache.front() != '/') {
        const std::string home = key.home.value_or(std::string());
        if (home.empty() || home.front() != '/') {
            note = "neither XDG_CACHE_HOME nor HOME is an absolute path";
        } else {
            cache = Append(Normalised(home), ".cache");
        }
    }
    if (note.empty()) {
        cache = Normalised(cache);
        std::string why;
        if (!CreateCacheDirectory(cache, why)) {
            note = "the cache directory cannot be created: " + why;
        } else if (tryCandidate(cache)) {
            return choice;
        }
    }
    choice.error = "no usable temporary directory: ";
    if (!key.tmpdir || key.tmpdir->empty() || !IsDirectory(*key.tmpdir)) {
        choice.error += "TMPDIR is not an existing directory; ";
    }
    for (const RefusedFolder& refused : choice.refused) {
        choice.error += refused.folder + " " + refused.reason + "; ";
    }
    choice.error += note.empty() ? std::string() : note;
    while (!choice.error.empty() && (choice.error.back() == ' ' || choice.error.back() == ';')) {
        choice.error.pop_back();
    }
    return choice;
}

std::mutex keptLock;               // guards keptKey and kept
std::optional<ChoiceKey> keptKey;  // the environment of the kept choice; empty: none kept
TemporaryDirectoryChoice kept;

}  // namespace

TemporaryDirectoryChoice ChooseTemporaryDirectory(const std::vector<std::string>& folders) {
    const ChoiceKey key = CurrentKey();
    const std::lock_guard<std::mutex> guard(keptLock);
    if (keptKey != key) {
        kept = Evaluate(key, folders);
        keptKey = key;
    }
    return kept;
}

TemporaryDirectoryChoice CurrentTemporaryDirectory() {
    const ChoiceKey key = CurrentKey();
    {
        const std::lock_guard<std::mutex> guard(keptLock);
        if (keptKey == key) {
            return kept;
        }
    }
    return Evaluate(key, {});
}

std::string TemporaryDirectory(std::string* error) {
    TemporaryDirectoryChoice choice = CurrentTemporaryDirectory();
    if (choice.directory.empty() && error != nullptr) {
        *error = std::move(choice.error);
    }
    return choice.directory;
}

bool CreatePrivateFolder(const std::string& path, std::string* error) {
    const auto fail = [error](std::string why) {
        if (error != nullptr) {
            *error = std::move(why);
        }
        return false;
    };
    std::string why;
    const std::string base = TemporaryDirectory(&why);
    if (base.empty()) {
        return fail(why);
    }
    // The part of the path below the temporary directory; "" for the directory itself.
    const std::string prefix = base == "/" ? base : base + "/";
    if (path != base && path.compare(0, prefix.size(), prefix) != 0) {
        return fail(path + " is not below the temporary directory " + base);
    }
    const std::string relative = path == base ? std::string() : path.substr(prefix.size());
    RefusedFolder refusal;
    const FileDescriptor folder = OpenTemporaryDirectory(base, refusal);
    if (!folder || !WalkPrivateFolder(folder.Get(), base, relative, true, refusal)) {
        return fail(refusal.folder + " " + refusal.reason);
    }
    return true;
}

}  // namespace halcyne
