// The exceptions of the file layer. Every file operation reports its failures as one of these (or as
// std::bad_alloc); the transfer works turn them into transfer error kinds.
//
// Thrown on whatever thread runs the file operation; the objects are immutable and safe to copy between
// threads (an exception_ptr may carry them to another thread).
#pragma once

#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace halcyne {

// Base of the family. what() is the detail given at the throw site (the operation, the path and the
// system's reason), or the class name when there is none.
class FileException : public std::exception {
public:
    const char* what() const noexcept override;

protected:
    FileException(const char* name, std::string detail);

private:
    const char* name_;
    std::shared_ptr<const std::string> detail_;  // shared so that copying never throws
};

#define HALCYNE_FILE_EXCEPTION(Name)                                                        \
    class Name : public FileException {                                                     \
    public:                                                                                 \
        explicit Name(std::string detail = {}) : FileException(#Name, std::move(detail)) {} \
    }

// The path is not valid, does not exist, or would lead outside its folder.
HALCYNE_FILE_EXCEPTION(FileBadPathException);
// The file is locked, in use or already exists, or its permissions cannot be changed.
HALCYNE_FILE_EXCEPTION(FileInUseException);
// Access is denied, or the medium is read-only.
HALCYNE_FILE_EXCEPTION(FileInaccessibleException);
// The disk is full, a quota is reached, or the file would be too large.
HALCYNE_FILE_EXCEPTION(FileInsufficientSpaceException);
// A view lies beyond the end of the file, the mapping failed, or a fault happened inside mapped memory.
HALCYNE_FILE_EXCEPTION(FileInvalidMapException);
// A position or range lies outside the bounds.
HALCYNE_FILE_EXCEPTION(FileOutOfBoundsException);
// Any other system error.
HALCYNE_FILE_EXCEPTION(FileUnknownException);

#undef HALCYNE_FILE_EXCEPTION

// A range too long for one 32-bit access (a view or a single read or write of 4 GiB or more).
class FileRangeTooLong : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

}  // namespace halcyne
