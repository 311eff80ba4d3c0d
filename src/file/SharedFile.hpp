// An open destination file with bounds. Package files are created, extended once to their final length
// (Allocate) and then written chunk by chunk at their offsets (WriteAt), each chunk on its own thread.
//
// Map, ReadAt, WriteAt, HoldsAllocatedZeros and CopyRange may be called from many threads at once (for
// disjoint ranges where they write); the file-handle operations (Position, Seek, Read, Write, Allocate)
// share one file position and are for one thread at a time. Views may outlive the file object. Nothing is
// called back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "file/BoundedFileData.hpp"
#include "file/FileIdentity.hpp"
#include "file/MemoryMappedFileData.hpp"

namespace halcyne {

class SharedFile : public BoundedFileData {
public:
    using BoundedFileData::BoundedFileData;

    // The current length of the file on disk.
    virtual std::uint64_t Size() = 0;
    // Extends an empty file to `size` bytes, reserving its disk blocks, and moves to position 0. Returns
    // false, touching nothing, when the file already has content; true for a size of 0. [0, size - 1] must
    // lie within the bounds. A full disk is FileInsufficientSpaceException, and the file stays empty.
    virtual bool Allocate(std::uint64_t size) = 0;
    // Lets every class (user, group, others) that may read the file execute it. False on failure.
    virtual bool AllowExecute() = 0;
    // Takes every execute permission away. False on failure.
    virtual bool DenyExecute() = 0;
    // Reads up to `size` bytes at `offset` into `buffer` without using the file position; returns how many
    // the file holds there (fewer only at its end, 0 at or past it). The range [offset, offset + size - 1]
    // must lie within the bounds (FileOutOfBoundsException). The FileException family on failure.
    virtual std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
    // Writes all `size` bytes at `offset` without using the file position. The range must lie within the
    // bounds (FileOutOfBoundsException) and within the file's current length: a file that has become shorter
    // (truncated by someone else) is never extended again, FileInvalidMapException with nothing written.
    // The FileException family on failure.
    virtual void WriteAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
    // Whether bytes [lower, upper] are known to be zeros without reading them: this object allocated the
    // file (Allocate) and nothing has written into the range through it since (Write, WriteAt, CopyRange, or
    // a view, which could have). False for anything else.
    virtual bool HoldsAllocatedZeros(std::uint64_t lower, std::uint64_t upper) = 0;
    // A view of the file's own bounds: Map(LowerBound(), UpperBound()).
    virtual std::shared_ptr<MemoryMappedFileData> Map() = 0;
    // A view of [lower, upper]: the range check, and every byte must exist (upper < Size()), else
    // FileInvalidMapException.
    virtual std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t lower, std::uint64_t upper) = 0;
    // The open file's identity, read from its descriptor (never by path).
    virtual FileIdentity Identity() = 0;
    // Copies bytes [offset, offset + length) of `source` to the same offset of this file, in the kernel where
    // it can (blocks may be shared on file systems that support it). Both ranges must lie within the
    // files' current lengths. The FileException family on failure; the file position is not used.
    virtual void CopyRange(SharedFile& source, std::uint64_t offset, std::uint64_t length) = 0;
    // Writes the file's data to the disk (fsync), so that a rename that follows cannot expose an empty file
    // after a crash. The FileException family on failure.
    virtual void Sync() = 0;
    // Starts writing bytes [offset, offset + length) to the disk and returns without waiting, so that the
    // writeback of a large file overlaps its download and the Sync before its rename finds little left.
    // A hint: a file system that cannot do it is left to write the bytes back when it would have.
    virtual void StartWriteback(std::uint64_t /*offset*/, std::uint64_t /*length*/) {}
};

}  // namespace halcyne
