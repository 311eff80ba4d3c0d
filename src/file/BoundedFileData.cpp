#include "file/BoundedFileData.hpp"

#include <algorithm>
#include <string>

#include "file/FileException.hpp"

namespace halcyne {

namespace {

std::string Range(std::uint64_t lower, std::uint64_t upper) {
    return "[" + std::to_string(lower) + ", " + std::to_string(upper) + "]";
}

}  // namespace

BoundedFileData::BoundedFileData(std::uint64_t lowerBound, std::uint64_t upperBound)
    : lowerBound_(lowerBound), upperBound_(upperBound) {
    if (lowerBound > upperBound) {
        throw FileOutOfBoundsException("bounds " + Range(lowerBound, upperBound) + " are reversed");
    }
}

BoundedFileData::~BoundedFileData() = default;

void BoundedFileData::CheckPosition(std::uint64_t position) const {
    if (position < lowerBound_ || position > upperBound_) {
        throw FileOutOfBoundsException("position " + std::to_string(position) + " outside the bounds " +
                                       Range(lowerBound_, upperBound_));
    }
}

void BoundedFileData::CheckRangeUnlimited(std::uint64_t lower, std::uint64_t upper) const {
    if (lower > upper || lower < lowerBound_ || upper > upperBound_) {
        throw FileOutOfBoundsException("range " + Range(lower, upper) + " outside the bounds " +
                                       Range(lowerBound_, upperBound_));
    }
}

void BoundedFileData::CheckRange(std::uint64_t lower, std::uint64_t upper) const {
    CheckRangeUnlimited(lower, upper);
    // upper - lower + 1 would wrap to 0 for the whole 64-bit range; compare the distance instead.
    if (upper - lower > std::numeric_limits<std::uint32_t>::max() - 1u) {
        throw FileRangeTooLong();
    }
}

void BoundedFileData::CheckSpan(std::uint64_t position, std::uint32_t count) const {
    CheckPosition(position);
    if (count == 0 || count - 1u > upperBound_ - position) {
        throw FileOutOfBoundsException(std::to_string(count) + " bytes at " + std::to_string(position) +
                                       " exceed the bounds " + Range(lowerBound_, upperBound_));
    }
}

std::uint32_t BoundedFileData::ReadableCount(std::uint64_t position, std::uint32_t size) const {
    if (position < lowerBound_) {
        CheckPosition(position);
    }
    if (size == 0 || position > upperBound_) {
        return 0;
    }
    const std::uint64_t remaining = upperBound_ - position;  // bytes after the one at `position`
    std::uint32_t count = std::min(size, ReadStep);
    if (count - 1u > remaining) {
        count = static_cast<std::uint32_t>(remaining + 1);
    }
    return count;
}

}  // namespace halcyne
