#include "file/posix/PosixSharedFile.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/posix/PosixFileError.hpp"
#include "file/posix/PosixFilePath.hpp"
#include "file/posix/PosixMemoryMap.hpp"

namespace halcyne {

namespace {

constexpr std::uint64_t MaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

int OpenFlags(SharedFileMode mode) {
    switch (mode) {
        case SharedFileMode::CreateNew:
            return O_CREAT | O_EXCL;
        case SharedFileMode::OpenExisting:
            return 0;
        default:
            return O_CREAT;
    }
}

}  // namespace

PosixSharedFile::PosixSharedFile(const std::string& folder, const std::string& name, SharedFileMode mode,
                                 std::uint64_t lowerBound, std::uint64_t upperBound)
    : SharedFile(lowerBound, upperBound), path_(FullFilePath(folder, name)) {
    // Every mode but OpenExisting may create the file, and so puts a file of its own in place of a link or
    // of a file with other names; OpenExisting only ever opens what is there.
    const bool creating = mode != SharedFileMode::OpenExisting;
    const bool createFolders = mode == SharedFileMode::OpenOrCreate || mode == SharedFileMode::CreateNew;
    FileDescriptor file = OpenFileBeneath(folder, name, O_RDWR | OpenFlags(mode), createFolders, creating);
    descriptor_ = file.Get();
    Seek(lowerBound);
    file.Release();
}

PosixSharedFile::~PosixSharedFile() {
    map_.reset();
    ::close(descriptor_);
}

std::uint64_t PosixSharedFile::Position() const {
    const off_t position = ::lseek(descriptor_, 0, SEEK_CUR);
    if (position < 0) {
        ThrowFileError(errno, "find the position in", path_);
    }
    return static_cast<std::uint64_t>(position);
}

void PosixSharedFile::Seek(std::uint64_t position) {
    CheckPosition(position);
    if (position > MaxOffset) {
        ThrowFileError(EINVAL, "seek in", path_);
    }
    if (::lseek(descriptor_, static_cast<off_t>(position), SEEK_SET) < 0) {
        ThrowFileError(errno, "seek in", path_);
    }
}

std::uint32_t PosixSharedFile::Read(void* buffer, std::uint32_t size) {
    const std::uint32_t count = ReadableCount(Position(), size);
    if (count == 0) {
        return 0;
    }
    ssize_t done = 0;
    do {
        done = ::read(descriptor_, buffer, count);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        ThrowFileError(errno, "read", path_);
    }
    return static_cast<std::uint32_t>(done);
}

std::uint32_t PosixSharedFile::Write(const void* buffer, std::uint32_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint64_t position = Position();
    CheckSpan(position, size);
    NoteWritten(position, position + (size - 1));
    const auto* from = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t written = 0;
    while (written < size) {
        const ssize_t done = ::write(descriptor_, from + written, size - written);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, "write", path_);
        }
        written += static_cast<std::uint32_t>(done);
    }
    return size;
}

std::uint64_t PosixSharedFile::Size() {
    struct stat st {};
    if (::fstat(descriptor_, &st) != 0) {
        ThrowFileError(errno, "inspect", path_);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool PosixSharedFile::Allocate(std::uint64_t size) {
    if (Size() != 0) {
        return false;  // a file with content is never resized
    }
    if (size == 0) {
        return true;
    }
    CheckRangeUnlimited(0, size - 1);
    if (size > MaxOffset) {
        throw FileInsufficientSpaceException(path_ + ": " + std::to_string(size) + " bytes is too large");
    }
    // fallocate reserves the blocks, so that a full disk shows here and not as a fault in a view later.
    int result = 0;
    do {
        result = ::fallocate(descriptor_, 0, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EOPNOTSUPP) {
        result = ::ftruncate(descriptor_, static_cast<off_t>(size));
    }
    if (result != 0) {
        const int error = errno;
        // A failed reservation may have extended the file part of the way; it was empty, so it stays so.
        [[maybe_unused]] const int ignored = ::ftruncate(descriptor_, 0);
        ThrowFileError(error, "allocate", path_);
    }
    Seek(0);
    {
        const std::lock_guard lock(writtenMutex_);
        written_.clear();
    }
    freshlyAllocated_ = true;
    return true;
}

void PosixSharedFile::CheckExtent(std::uint64_t offset, std::size_t size) const {
    if (size - 1 > std::numeric_limits<std::uint64_t>::max() - offset) {
        throw FileOutOfBoundsException(path_ + ": " + std::to_string(size) + " bytes at " +
                                       std::to_string(offset) +
                                       " reach past the last offset a file can have");
    }
    CheckRangeUnlimited(offset, offset + (size - 1));
    if (offset + (size - 1) > MaxOffset) {
        ThrowFileError(EINVAL, "reach", path_);
    }
}

std::size_t PosixSharedFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    CheckExtent(offset, size);
    auto* to = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(descriptor_, to + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, "read", path_);
        }
        if (got == 0) {
            break;  // the end of the file
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void PosixSharedFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    CheckExtent(offset, size);
    // pwrite would extend a file that someone made shorter, silently leaving a hole where its other bytes
    // were; the length is looked at first. (A truncation between the two is found by the next write, and by
    // the length check of the chunk once it is complete.)
    if (const std::uint64_t length = Size(); offset + size > length) {
        throw FileInvalidMapException(
            path_ + ": bytes " + std::to_string(offset) + " to " + std::to_string(offset + size - 1) +
            " lie beyond the end of the file (" + std::to_string(length) + " bytes)");
    }
    NoteWritten(offset, offset + (size - 1));
    const auto* from = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put =
            ::pwrite(descriptor_, from + done, size - done, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, "write", path_);
        }
        done += static_cast<std::size_t>(put);
    }
}

bool PosixSharedFile::HoldsAllocatedZeros(std::uint64_t lower, std::uint64_t upper) {
    if (!freshlyAllocated_ || lower > upper || upper >= Size()) {
        return false;
    }
    const std::lock_guard lock(writtenMutex_);
    // The last written range that starts at or before `upper` is the only one that can reach into
    // [lower, upper]: the ones before it end before it starts.
    auto next = written_.upper_bound(upper);
    if (next == written_.begin()) {
        return true;
    }
    return std::prev(next)->second < lower;
}

void PosixSharedFile::NoteWritten(std::uint64_t lower, std::uint64_t upper) {
    if (!freshlyAllocated_) {
        return;
    }
    const std::lock_guard lock(writtenMutex_);
    auto at = written_.upper_bound(lower);
    if (at != written_.begin()) {
        const auto before = std::prev(at);
        if (lower == 0 || before->second >= lower - 1) {
            lower = before->first;
            upper = std::max(upper, before->second);
            at = written_.erase(before);
        }
    }
    while (at != written_.end() &&
           (upper == std::numeric_limits<std::uint64_t>::max() || at->first <= upper + 1)) {
        upper = std::max(upper, at->second);
        at = written_.erase(at);
    }
    written_.emplace(lower, upper);
}

bool PosixSharedFile::ChangeMode(bool execute) {
    struct stat st {};
    if (::fstat(descriptor_, &st) != 0) {
        return false;
    }
    mode_t mode = st.st_mode & 07777;
    if (execute && st.st_nlink > 1) {
        return false;  // the mode belongs to every name of the file: no other name becomes a program
    }
    if (execute) {
        mode |=
            (mode & S_IRUSR ? S_IXUSR : 0) | (mode & S_IRGRP ? S_IXGRP : 0) | (mode & S_IROTH ? S_IXOTH : 0);
    } else {
        mode &= ~static_cast<mode_t>(S_IXUSR | S_IXGRP | S_IXOTH);
    }
    return ::fchmod(descriptor_, mode) == 0;
}

bool PosixSharedFile::AllowExecute() {
    return ChangeMode(true);
}

bool PosixSharedFile::DenyExecute() {
    return ChangeMode(false);
}

std::shared_ptr<MemoryMappedFileData> PosixSharedFile::Map() {
    return Map(LowerBound(), UpperBound());
}

std::shared_ptr<MemoryMappedFileData> PosixSharedFile::Map(std::uint64_t lower, std::uint64_t upper) {
    CheckRange(lower, upper);
    const std::uint64_t size = Size();
    if (upper >= size) {
        throw FileInvalidMapException(path_ + ": bytes " + std::to_string(lower) + " to " +
                                      std::to_string(upper) + " lie beyond the end of the file (" +
                                      std::to_string(size) + " bytes)");
    }
    NoteWritten(lower, upper);  // a view may be written through
    return Mapping()->MapView(lower, upper, freshlyAllocated_);
}

FileIdentity PosixSharedFile::Identity() {
    struct stat st {};
    if (::fstat(descriptor_, &st) != 0) {
        ThrowFileError(errno, "inspect", path_);
    }
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.links = static_cast<std::uint64_t>(st.st_nlink);
    return identity;
}

void PosixSharedFile::CopyRange(SharedFile& source, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) {
        return;
    }
    CheckRangeUnlimited(offset, offset + (length - 1));
    if (offset > MaxOffset || length > MaxOffset - offset) {
        ThrowFileError(EINVAL, "copy into", path_);
    }
    NoteWritten(offset, offset + (length - 1));
    auto* posixSource = dynamic_cast<PosixSharedFile*>(&source);
    if (posixSource == nullptr) {
        throw FileUnknownException(path_ + ": cannot copy from a file of another kind");
    }
    // The kernel would extend a shorter file; a copy only ever fills bytes that were allocated.
    if (const std::uint64_t size = Size(); offset + length > size) {
        throw FileInvalidMapException(path_ + ": bytes " + std::to_string(offset) + " to " +
                                      std::to_string(offset + length - 1) +
                                      " lie beyond the end of the file (" + std::to_string(size) + " bytes)");
    }
    const int from = posixSource->descriptor_;
    loff_t in = static_cast<loff_t>(offset);
    loff_t out = static_cast<loff_t>(offset);
    std::uint64_t left = length;
    bool inKernel = true;
    while (left > 0 && inKernel) {
        const ssize_t done = ::copy_file_range(from, &in, descriptor_, &out, left, 0);
        if (done > 0) {
            left -= static_cast<std::uint64_t>(done);
            continue;
        }
        if (done == 0) {
            throw FileInvalidMapException(posixSource->path_ + ": ends before byte " + std::to_string(in));
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            inKernel = false;  // the same copy through a buffer below
            break;
        }
        ThrowFileError(errno, "copy into", path_);
    }
    std::uint8_t buffer[65536];
    while (left > 0) {
        const std::size_t step = left < sizeof buffer ? static_cast<std::size_t>(left) : sizeof buffer;
        const ssize_t got = ::pread(from, buffer, step, in);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, "read", posixSource->path_);
        }
        if (got == 0) {
            throw FileInvalidMapException(posixSource->path_ + ": ends before byte " + std::to_string(in));
        }
        std::size_t written = 0;
        while (written < static_cast<std::size_t>(got)) {
            const ssize_t put =
                ::pwrite(descriptor_, buffer + written, static_cast<std::size_t>(got) - written,
                         out + static_cast<loff_t>(written));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ThrowFileError(errno, "write", path_);
            }
            written += static_cast<std::size_t>(put);
        }
        in += got;
        out += got;
        left -= static_cast<std::uint64_t>(got);
    }
}

void PosixSharedFile::Sync() {
    if (::fsync(descriptor_) != 0) {
        ThrowFileError(errno, "write to the disk", path_);
    }
}

void PosixSharedFile::StartWriteback(std::uint64_t offset, std::uint64_t length) {
    // Queues the range's dirty pages for writing and does not wait for the disk. Errors are left for Sync,
    // which reports any write that failed.
    ::sync_file_range(descriptor_, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}

std::shared_ptr<PosixMemoryMap> PosixSharedFile::Mapping() {
    const std::lock_guard lock(mapMutex_);
    if (!map_) {
        map_ = std::make_shared<PosixMemoryMap>(descriptor_, path_);
    }
    return map_;
}

}  // namespace halcyne
