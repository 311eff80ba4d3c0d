#include "file/posix/PosixMemoryMapView.hpp"

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <sys/mman.h>

#include "file/FileException.hpp"
#include "file/posix/PosixFaultGuard.hpp"
#include "file/posix/PosixFileError.hpp"

// Older C library headers lack the populate requests (Linux 5.14); the kernel answers EINVAL if it lacks
// them.
#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace halcyne {

PosixMemoryMapView::PosixMemoryMapView(int descriptor, const std::string& path, std::uint64_t lower,
                                       std::uint64_t upper, std::uint64_t pageSize, bool freshlyAllocated)
    : MemoryMappedFileData(lower, upper),
      pageSize_(static_cast<std::uint32_t>(pageSize)),
      freshlyAllocated_(freshlyAllocated) {
    CheckRange(lower, upper);
    delta_ = static_cast<std::uint32_t>(lower % pageSize);
    const std::uint64_t offset = lower - delta_;
    if (upper - offset > std::numeric_limits<std::uint32_t>::max() - 1u) {
        throw FileRangeTooLong();
    }
    mappedLength_ = static_cast<std::uint32_t>(upper - offset + 1);
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        ThrowFileError(EINVAL, "map", path);
    }
    void* base = ::mmap(nullptr, mappedLength_, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor,
                        static_cast<off_t>(offset));
    if (base == MAP_FAILED) {
        ThrowFileError(errno, "map", path);
    }
    base_ = static_cast<std::uint8_t*>(base);
}

PosixMemoryMapView::~PosixMemoryMapView() {
    ::munmap(base_, mappedLength_);
}

std::uint64_t PosixMemoryMapView::Position() const {
    return LowerBound() + position_;
}

void PosixMemoryMapView::Seek(std::uint64_t position) {
    CheckPosition(position);
    position_ = static_cast<std::uint32_t>(position - LowerBound());
}

std::uint32_t PosixMemoryMapView::Read(void* buffer, std::uint32_t size) {
    // At the end of the range the last, partial step is returned rather than refused, so that a loop that
    // reads until a short read ends normally.
    const std::uint32_t count = ReadableCount(Position(), size);
    if (count == 0) {
        return 0;
    }
    // As Consume(count), but the position moves only once the bytes are copied.
    CheckSpan(Position(), count);
    GuardedCopy(buffer, base_ + delta_ + position_, count, "read");
    position_ += count;
    return count;
}

std::uint32_t PosixMemoryMapView::Write(const void* buffer, std::uint32_t size) {
    if (size == 0) {
        return 0;
    }
    CheckSpan(Position(), size);
    GuardedCopy(base_ + delta_ + position_, buffer, size, "write");
    position_ += size;
    return size;
}

std::uint8_t* PosixMemoryMapView::Consume(std::uint32_t count) {
    if (count == 0) {
        return nullptr;
    }
    CheckSpan(Position(), count);
    std::uint8_t* at = base_ + delta_ + position_;
    position_ += count;
    return at;
}

std::uint8_t* PosixMemoryMapView::Data() {
    return base_ + delta_;
}

void PosixMemoryMapView::Process(const DataProcessor& processor) {
    const std::uint8_t* data = Data();
    const auto length = static_cast<std::uint32_t>(UpperBound() - LowerBound() + 1);
    if (!RunFaultGuarded(base_, mappedLength_, [&] { processor(data, length); })) {
        ThrowFault("process");
    }
}

void PosixMemoryMapView::Fetch() {
    // First the whole range is read ahead into the page cache in one request (MADV_WILLNEED), which builds
    // it from large folios; faulting a small shared mapping in page by page is many times slower (the
    // benchmark measured 6 s per GiB against 1 s for 1 MiB views). Then the pages are mapped: a view over
    // freshly allocated bytes is about to be written, so its pages are faulted in writable at once, which
    // saves the second (write) fault that a read leaves for every page; other views are read first
    // (verified), so they are only made resident, which keeps clean pages clean. Kernels without these
    // requests, and any failure of them (a fault among them), fall back to touching one byte per page.
    ::madvise(base_, mappedLength_, MADV_WILLNEED);
    const int advice = freshlyAllocated_ ? MADV_POPULATE_WRITE : MADV_POPULATE_READ;
    if (::madvise(base_, mappedLength_, advice) == 0) {
        return;
    }
    const std::uint8_t* data = Data();
    const std::uint64_t length = UpperBound() - LowerBound() + 1;
    const std::uint64_t page = pageSize_;
    volatile std::uint8_t dummy = 0;
    const bool completed = RunFaultGuarded(base_, mappedLength_, [&] {
        for (std::uint64_t offset = 0; offset < length; offset += page) {
            dummy = static_cast<std::uint8_t>(dummy & data[offset]);
        }
    });
    if (!completed) {
        ThrowFault("fetch");
    }
    if (dummy != 0) {
        throw std::logic_error("PosixMemoryMapView::Fetch: actual logic error, dummy result must be zero");
    }
}

void PosixMemoryMapView::GuardedCopy(void* to, const void* from, std::uint32_t count, const char* operation) {
    if (!RunFaultGuarded(base_, mappedLength_, [&] { std::memcpy(to, from, count); })) {
        ThrowFault(operation);
    }
}

void PosixMemoryMapView::ThrowFault(const char* operation) const {
    throw FileInvalidMapException(std::string("fault in the mapped file while trying to ") + operation +
                                  " bytes " + std::to_string(LowerBound()) + " to " +
                                  std::to_string(UpperBound()));
}

}  // namespace halcyne
