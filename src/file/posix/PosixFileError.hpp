// The errno table of the file layer: every failed system call of the POSIX file classes ends here.
// Called on whatever thread made the call; calls nothing back.
#pragma once

#include <string>

namespace halcyne {

// Throws the FileException that `error` (an errno value) maps to, with "<operation> <path>: <reason>":
//   ENOENT, ENOTDIR, ENAMETOOLONG, ELOOP, EISDIR, EINVAL   FileBadPathException
//   EACCES, EPERM, EROFS                                   FileInaccessibleException
//   ENOMEM                                                 std::bad_alloc
//   EEXIST, EBUSY, ETXTBSY, EAGAIN                         FileInUseException
//   ENOSPC, EDQUOT, EFBIG                                  FileInsufficientSpaceException
//   any other                                              FileUnknownException
[[noreturn]] void ThrowFileError(int error, const std::string& operation, const std::string& path);

}  // namespace halcyne
