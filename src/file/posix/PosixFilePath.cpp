#include "file/posix/PosixFilePath.hpp"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include "common/Paths.hpp"
#include "file/FileException.hpp"
#include "file/posix/PosixFileError.hpp"

namespace halcyne {

namespace {

#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
constexpr bool KernelResolutionBuiltIn = true;
#else
constexpr bool KernelResolutionBuiltIn = false;
#endif

std::atomic<PathResolution> resolution{PathResolution::Kernel};
std::atomic<bool> kernelLacksOpenat2{false};  // set once openat2 answered ENOSYS

// How often one component is created or replaced before giving up: only another process that keeps putting
// things back in the same place makes the walk go round more than twice.
constexpr int MaxAttempts = 8;

constexpr int FolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// openat(2) that tries again when a signal interrupts it.
int OpenAt(int folder, const char* name, int flags, mode_t mode = 0) {
    int descriptor = -1;
    do {
        descriptor = ::openat(folder, name, flags, mode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// openat2(2) that resolves `relative` below `folder` without crossing a symbolic link or leaving the folder;
// -1 with errno set on failure, and with ENOSYS where the kernel (or this build) has no openat2.
int OpenBeneathByKernel(int folder, const std::string& relative, int flags, mode_t mode) {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    if (kernelLacksOpenat2.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long descriptor = -1;
    do {
        descriptor = ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0 && errno == ENOSYS) {
        kernelLacksOpenat2.store(true, std::memory_order_relaxed);
    }
    return static_cast<int>(descriptor);
#else
    (void)folder, (void)relative, (void)flags, (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}

bool UseKernelResolution() {
    return KernelResolutionBuiltIn && resolution.load(std::memory_order_relaxed) == PathResolution::Kernel &&
           !kernelLacksOpenat2.load(std::memory_order_relaxed);
}

// Whether `name` in `folder` is a symbolic link itself.
bool IsLink(int folder, const char* name) {
    struct stat st {};
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Removes the entry `name` (never a folder) from `folder`; one that is already gone is fine.
void RemoveEntry(int folder, const std::string& name, const std::string& path) {
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        ThrowFileError(errno, "remove", path);
    }
}

std::string JoinComponents(const std::vector<std::string>& components, std::size_t count) {
    std::string joined;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            joined += '/';
        }
        joined += components[i];
    }
    return joined;
}

enum class FolderWalk {
    OpenOnly,               // a missing folder or a link on the way is an error
    Create,                 // missing folders are created
    CreateAndReplaceLinks,  // and a link where a folder belongs is replaced by a real folder
};

// Opens the first `count` components below `base`, one at a time, never through a link (see
// OpenParentFolder).
FileDescriptor WalkFolders(FileDescriptor base, const std::vector<std::string>& components, std::size_t count,
                           FolderWalk walk, const std::string& path) {
    FileDescriptor current = std::move(base);
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = components[i].c_str();
        for (int attempt = 1;; ++attempt) {
            const int descriptor = OpenAt(current.Get(), name, FolderFlags | O_NOFOLLOW);
            if (descriptor >= 0) {
                current = FileDescriptor(descriptor);
                break;
            }
            const int error = errno;
            if (walk == FolderWalk::OpenOnly || attempt == MaxAttempts) {
                ThrowFileError(error, "open the folder " + components[i] + " of", path);
            }
            if (error == ENOENT) {
                if (::mkdirat(current.Get(), name, 0700) != 0 && errno != EEXIST) {
                    ThrowFileError(errno, "create the folder " + components[i] + " of", path);
                }
                continue;  // open what is there now, made by this call or by someone else meanwhile
            }
            if (walk == FolderWalk::CreateAndReplaceLinks && (error == ENOTDIR || error == ELOOP) &&
                IsLink(current.Get(), name)) {
                RemoveEntry(current.Get(), name, path);
                continue;  // a real folder takes the link's place
            }
            ThrowFileError(error, "open the folder " + components[i] + " of", path);
        }
    }
    return current;
}

// The caller's folder, opened as given: it may itself be reached through links (a temporary directory
// often is); only what lies below it is guarded. With `create`, a missing folder is made, together with the
// missing folders above it, below the nearest folder of its path that exists; links on its path are the
// caller's and are left as they are (a dangling one is an error).
FileDescriptor OpenBaseFolder(const std::string& folder, bool create) {
    if (folder.empty()) {
        throw FileBadPathException("no folder given");
    }
    if (folder.find('\0') != std::string::npos) {
        throw FileBadPathException("a NUL byte in the folder " + folder.substr(0, folder.find('\0')));
    }
    const int descriptor = OpenAt(AT_FDCWD, folder.c_str(), FolderFlags);
    if (descriptor >= 0) {
        return FileDescriptor(descriptor);
    }
    if (!create || errno != ENOENT) {
        ThrowFileError(errno, "open folder", folder);
    }
    std::string existing;
    try {
        existing = JoinPath(folder, "");
    } catch (const std::exception& e) {
        throw FileBadPathException(folder + ": " + e.what());
    }
    std::vector<std::string> missing;
    FileDescriptor ancestor;
    for (;;) {
        const std::size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos || existing == "/") {
            ThrowFileError(ENOENT, "open folder", folder);
        }
        if (const std::string component = existing.substr(slash + 1);
            !component.empty() && component != ".") {
            missing.push_back(component);
        }
        existing.erase(slash == 0 ? 1 : slash);
        const int found = OpenAt(AT_FDCWD, existing.c_str(), FolderFlags);
        if (found >= 0) {
            ancestor = FileDescriptor(found);
            break;
        }
        if (errno != ENOENT) {
            ThrowFileError(errno, "open folder", existing);
        }
    }
    const std::vector<std::string> path(missing.rbegin(), missing.rend());
    return WalkFolders(std::move(ancestor), path, path.size(), FolderWalk::Create, folder);
}

}  // namespace

void SetPathResolution(PathResolution value) {
    resolution.store(value, std::memory_order_relaxed);
}

PathResolution CurrentPathResolution() {
    return resolution.load(std::memory_order_relaxed);
}

std::vector<std::string> SplitName(const std::string& name) {
    if (name.find('\0') != std::string::npos) {
        throw FileBadPathException("a NUL byte in the name " + name.substr(0, name.find('\0')));
    }
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        const std::string component = name.substr(start, end - start);
        if (component == "..") {
            throw FileBadPathException("the name " + name + " leads outside its folder");
        }
        if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    const std::size_t last = name.find_last_of('/');
    const std::string tail = last == std::string::npos ? name : name.substr(last + 1);
    if (components.empty() || tail.empty() || tail == ".") {
        throw FileBadPathException("the name \"" + name + "\" names no file");
    }
    return components;
}

std::string FullFilePath(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        throw FileBadPathException("no folder given for " + name);
    }
    if (folder.find('\0') != std::string::npos) {
        throw FileBadPathException("a NUL byte in the folder of " + name.substr(0, name.find('\0')));
    }
    const std::vector<std::string> components = SplitName(name);
    try {
        return JoinPath(folder, JoinComponents(components, components.size()));
    } catch (const std::exception& e) {
        throw FileBadPathException(folder + " / " + name + ": " + e.what());
    }
}

ParentFolder OpenParentFolder(const std::string& folder, const std::string& name, bool createFolders) {
    ParentFolder parent;
    parent.path = FullFilePath(folder, name);
    const std::vector<std::string> components = SplitName(name);
    const std::size_t folders = components.size() - 1;
    parent.leaf = components.back();
    FileDescriptor base = OpenBaseFolder(folder, createFolders);
    if (folders > 0 && UseKernelResolution()) {
        const int descriptor =
            OpenBeneathByKernel(base.Get(), JoinComponents(components, folders), FolderFlags, 0);
        if (descriptor >= 0) {
            parent.folder = FileDescriptor(descriptor);
            return parent;
        }
        // Whatever the failure, the walk below finds out exactly what is in the way and what to do about it.
    }
    parent.folder =
        WalkFolders(std::move(base), components, folders,
                    createFolders ? FolderWalk::CreateAndReplaceLinks : FolderWalk::OpenOnly, parent.path);
    return parent;
}

FileDescriptor OpenFileIn(const ParentFolder& parent, int flags, bool replace) {
    const int folder = parent.folder.Get();
    const char* leaf = parent.leaf.c_str();
    for (int attempt = 1;; ++attempt) {
        const bool mayReplace = replace && attempt < MaxAttempts;
        const int descriptor = OpenAt(folder, leaf, flags | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            // O_NOFOLLOW answers ELOOP for a link, and O_EXCL answers EEXIST for one.
            const int error = errno;
            if (mayReplace && (error == ELOOP || error == EEXIST) && IsLink(folder, leaf)) {
                RemoveEntry(folder, parent.leaf, parent.path);
                continue;
            }
            ThrowFileError(error, "open", parent.path);
        }
        FileDescriptor file(descriptor);
        struct stat st {};
        if (::fstat(file.Get(), &st) != 0) {
            ThrowFileError(errno, "inspect", parent.path);
        }
        if (!S_ISREG(st.st_mode)) {
            throw FileBadPathException(parent.path + " is not a regular file");
        }
        if (replace && st.st_nlink > 1) {
            if (!mayReplace) {
                throw FileInUseException(parent.path + " keeps getting other names (hard links)");
            }
            RemoveEntry(folder, parent.leaf, parent.path);
            continue;  // this name gets a file of its own; the other names keep theirs untouched
        }
        return file;
    }
}

FileDescriptor OpenFileBeneath(const std::string& folder, const std::string& name, int flags,
                               bool createFolders, bool replace) {
    if (UseKernelResolution()) {
        // The usual case in one call: the file is there (or may be created) and nothing on the way is a link.
        const std::vector<std::string> components = SplitName(name);
        const FileDescriptor base = OpenBaseFolder(folder, createFolders);
        FileDescriptor file(OpenBeneathByKernel(base.Get(), JoinComponents(components, components.size()),
                                                flags | O_NOFOLLOW | O_CLOEXEC, 0666));
        struct stat st {};
        if (file.Get() >= 0 && ::fstat(file.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
            (!replace || st.st_nlink == 1)) {
            return file;
        }
        // Anything else (a missing folder, a link, a second name, an error) is sorted out by the walk.
    }
    const ParentFolder parent = OpenParentFolder(folder, name, createFolders);
    return OpenFileIn(parent, flags, replace);
}

}  // namespace halcyne
