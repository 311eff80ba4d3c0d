#include "file/posix/PosixFilePath.hpp"

#include <cerrno>

#include <sys/stat.h>

#include "common/Paths.hpp"
#include "file/FileException.hpp"
#include "file/posix/PosixFileError.hpp"

namespace halcyne {

std::string FullFilePath(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        throw FileBadPathException("no folder given for " + name);
    }
    if (folder.find('\0') != std::string::npos || name.find('\0') != std::string::npos) {
        throw FileBadPathException("a NUL byte in the path of " + name.substr(0, name.find('\0')));
    }
    // Every component of the name, leading '/' included, is checked: "..", anywhere, climbs out.
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        if (name.compare(start, end - start, "..") == 0) {
            throw FileBadPathException("the name " + name + " leads outside its folder");
        }
        start = end + 1;
    }
    try {
        return JoinPath(folder, name);
    } catch (const std::exception& e) {
        throw FileBadPathException(folder + " / " + name + ": " + e.what());
    }
}

namespace {

// The mode of an existing folder; 0 when `path` does not exist. A component that is not a folder is a bad
// path; any other failure goes through the errno table.
mode_t FolderMode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return 0;
        }
        ThrowFileError(errno, "inspect folder", path);
    }
    if (!S_ISDIR(st.st_mode)) {
        ThrowFileError(ENOTDIR, "create folder", path);
    }
    return st.st_mode;
}

}  // namespace

void CreateParentFolders(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return;
    }
    const std::string parent = path.substr(0, slash);
    if (FolderMode(parent) != 0) {
        return;  // the usual case: the folder is there
    }
    // Walk down from the root; every existing folder hands its permission bits to the next new one.
    mode_t inherited = 0755;
    std::size_t position = 0;
    while (position <= parent.size()) {
        std::size_t next = parent.find('/', position);
        if (next == std::string::npos) {
            next = parent.size();
        }
        const std::string current = next == 0 ? std::string("/") : parent.substr(0, next);
        position = next + 1;
        if (next > 0 && parent[next - 1] == '/') {
            continue;  // "a//b": nothing between the separators
        }
        if (const mode_t mode = FolderMode(current); mode != 0) {
            inherited = (mode & 0777) | 0700;
            continue;
        }
        if (::mkdir(current.c_str(), inherited) != 0) {
            const int error = errno;
            if (error == EEXIST && FolderMode(current) != 0) {
                continue;  // made by someone else meanwhile
            }
            ThrowFileError(error, "create folder", current);
        }
    }
}

}  // namespace halcyne
