// A memory-mapped view of [lower, upper] of an open file: mmap(MAP_SHARED, read and write) from the page
// boundary at or below `lower`. Made by PosixMemoryMap for PosixSharedFile::Map; used as a
// MemoryMappedFileData (see there for threads). Every access to the mapped bytes runs under the fault guard.
#pragma once

#include <cstdint>
#include <string>

#include "file/MemoryMappedFileData.hpp"

namespace halcyne {

class PosixMemoryMapView : public MemoryMappedFileData {
public:
    // Maps [lower, upper] of `descriptor` (which need not stay open). `pageSize` is the mapping granularity.
    // `freshlyAllocated` says that the bytes are the zeros of a just-allocated file, about to be written,
    // so that Fetch may fault the pages in writable at once. The range check applies; a mapping of more
    // than 2^32 - 1 bytes is FileRangeTooLong; failures of mmap go through the errno table.
    PosixMemoryMapView(int descriptor, const std::string& path, std::uint64_t lower, std::uint64_t upper,
                       std::uint64_t pageSize, bool freshlyAllocated);
    ~PosixMemoryMapView() override;

    std::uint64_t Position() const override;
    void Seek(std::uint64_t position) override;
    std::uint32_t Read(void* buffer, std::uint32_t size) override;
    std::uint32_t Write(const void* buffer, std::uint32_t size) override;
    std::uint8_t* Consume(std::uint32_t count) override;
    std::uint8_t* Data() override;
    void Process(const DataProcessor& processor) override;
    void Fetch() override;

private:
    // Copies under the fault guard; FileInvalidMapException on a fault.
    void GuardedCopy(void* to, const void* from, std::uint32_t count, const char* operation);
    [[noreturn]] void ThrowFault(const char* operation) const;

    std::uint8_t* base_ = nullptr;  // start of the mapping (page-aligned)
    std::uint32_t delta_ = 0;       // from base_ to LowerBound
    std::uint32_t position_ = 0;    // from LowerBound to the current position
    std::uint32_t mappedLength_ = 0;
    std::uint32_t pageSize_ = 0;
    bool freshlyAllocated_ = false;
};

}  // namespace halcyne
