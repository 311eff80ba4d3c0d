#include "file/posix/PosixFileError.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#include "file/FileException.hpp"

namespace halcyne {

void ThrowFileError(int error, const std::string& operation, const std::string& path) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in `buffer`.
    const char* reason = ::strerror_r(error, buffer, sizeof buffer);
    std::string detail = operation + " " + path + ": " + reason;
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
        case EISDIR:
        case EINVAL:
            throw FileBadPathException(std::move(detail));
        case EACCES:
        case EPERM:
        case EROFS:
            throw FileInaccessibleException(std::move(detail));
        case ENOMEM:
            throw std::bad_alloc();
        case EEXIST:
        case EBUSY:
        case ETXTBSY:
        case EAGAIN:
            throw FileInUseException(std::move(detail));
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            throw FileInsufficientSpaceException(std::move(detail));
        default:
            throw FileUnknownException(std::move(detail));
    }
}

}  // namespace halcyne
