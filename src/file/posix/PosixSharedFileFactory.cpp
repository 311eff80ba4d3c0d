#include "file/posix/PosixSharedFileFactory.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include <unistd.h>

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
        return ::unlink(FullFilePath(folder, name).c_str()) == 0;
    } catch (...) {
        return false;
    }
}

void PosixSharedFileFactory::Rename(const std::string& folder, const std::string& from, const std::string& to) {
    const std::string source = FullFilePath(folder, from);
    const std::string target = FullFilePath(folder, to);
    if (::rename(source.c_str(), target.c_str()) != 0) {
        ThrowFileError(errno, "rename " + source + " to", target);
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
