// Bounded file data: an open file or a view of one, with an inclusive byte range [LowerBound, UpperBound]
// that every access must stay inside. Base of SharedFile and MemoryMappedFileData.
//
// Not thread-safe: one object has one position, used by one thread at a time. Nothing is called back.
#pragma once

#include <cstdint>
#include <limits>

namespace halcyne {

// The upper bound of a whole file: every byte index is inside.
inline constexpr std::uint64_t WholeFileUpperBound = std::numeric_limits<std::uint64_t>::max();

class BoundedFileData {
public:
    // Reads move at most this many bytes per call; callers loop until a call returns fewer.
    static constexpr std::uint32_t ReadStep = 4096;

    // FileOutOfBoundsException when lowerBound > upperBound.
    BoundedFileData(std::uint64_t lowerBound, std::uint64_t upperBound);
    BoundedFileData(const BoundedFileData&) = delete;
    BoundedFileData& operator=(const BoundedFileData&) = delete;
    virtual ~BoundedFileData();

    // The current absolute position.
    virtual std::uint64_t Position() const = 0;
    // Moves to `position`; FileOutOfBoundsException unless LowerBound <= position <= UpperBound.
    virtual void Seek(std::uint64_t position) = 0;
    // Reads min(size, ReadStep) bytes from the position, fewer at the end of the bounds or of the file;
    // returns the count (0 for a size of 0 or at the end).
    virtual std::uint32_t Read(void* buffer, std::uint32_t size) = 0;
    // Writes all `size` bytes at the position and returns `size` (0 for a size of 0). The whole range
    // must lie within the bounds, else FileOutOfBoundsException and nothing is written.
    virtual std::uint32_t Write(const void* buffer, std::uint32_t size) = 0;

    std::uint64_t LowerBound() const { return lowerBound_; }
    std::uint64_t UpperBound() const { return upperBound_; }

protected:
    // FileOutOfBoundsException unless LowerBound <= position <= UpperBound.
    void CheckPosition(std::uint64_t position) const;
    // The range check: lower <= upper inside the bounds (FileOutOfBoundsException), and at most 2^32 - 1
    // bytes long (FileRangeTooLong, a std::bad_alloc).
    void CheckRange(std::uint64_t lower, std::uint64_t upper) const;
    // The same check without the length limit.
    void CheckRangeUnlimited(std::uint64_t lower, std::uint64_t upper) const;
    // CheckRange of the `count` bytes (count >= 1) starting at `position`, without overflowing.
    void CheckSpan(std::uint64_t position, std::uint32_t count) const;
    // How many of `size` bytes a Read at `position` takes: at most ReadStep, and no more than remain
    // before UpperBound (0 past it). FileOutOfBoundsException when position < LowerBound.
    std::uint32_t ReadableCount(std::uint64_t position, std::uint32_t size) const;

private:
    const std::uint64_t lowerBound_;
    const std::uint64_t upperBound_;
};

}  // namespace halcyne
