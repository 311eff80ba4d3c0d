#include "file/posix/PosixSharedFileFactory.hpp"

#include <array>
#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/posix/PosixFileError.hpp"
#include "file/posix/PosixFilePath.hpp"
#include "file/posix/PosixSharedFile.hpp"

namespace halcyne {

std::shared_ptr<SharedFile> PosixSharedFileFactory::Create(const std::string& folder, const std::string& name,
                                                           SharedFileMode mode, std::uint64_t lowerBound,
                                                           std::uint64_t upperBound) {
    return std::make_shared<PosixSharedFile>(folder, name, mode, lowerBound, upperBound);
}

bool PosixSharedFileFactory::Delete(const std::string& folder, const std::string& name) {
    try {
        // unlinkat removes a link itself, never what it points to; a link on the way is not crossed.
        const ParentFolder parent = OpenParentFolder(folder, name, false);
        return ::unlinkat(parent.folder.Get(), parent.leaf.c_str(), 0) == 0;
    } catch (...) {
        return false;
    }
}

void PosixSharedFileFactory::Rename(const std::string& folder, const std::string& from,
                                    const std::string& to) {
    const ParentFolder source = OpenParentFolder(folder, from, false);
    const ParentFolder target = OpenParentFolder(folder, to, false);
    // A link is never moved into a file's place: whoever opens the new name would be led elsewhere.
    struct stat st {};
    if (::fstatat(source.folder.Get(), source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        ThrowFileError(errno, "rename", source.path);
    }
    if (S_ISLNK(st.st_mode)) {
        throw FileBadPathException("rename " + source.path + ": a symbolic link");
    }
    // renameat replaces whatever `to` names, a link included, without following it.
    if (::renameat(source.folder.Get(), source.leaf.c_str(), target.folder.Get(), target.leaf.c_str()) != 0) {
        ThrowFileError(errno, "rename " + source.path + " to", target.path);
    }
}

bool PosixSharedFileFactory::IsExecutable(const std::string& /*folder*/, const std::string& name) {
    static constexpr std::array<std::string_view, 9> extensions{".exe", ".bat", ".com", ".cmd",     ".msi",
                                                                ".vbs", ".sh",  ".run", ".AppImage"};
    // The extension runs from the last '.' of the last component; "." and ".." have none.
    const std::string_view component = std::string_view(name).substr(name.find_last_of('/') + 1);
    if (component == "." || component == "..") {
        return false;
    }
    const std::size_t dot = component.find_last_of('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    const std::string_view extension = component.substr(dot);
    for (const std::string_view candidate : extensions) {
        if (extension == candidate) {
            return true;
        }
    }
    return false;
}

}  // namespace halcyne
