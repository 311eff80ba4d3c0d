// A memory-mapped view of one byte range of a shared file (in practice one chunk). Chunk works map,
// pre-fault, verify and fill a view on work-manager threads; the HTTP writer copies response bytes into it.
//
// One view is used by one thread at a time for its position (Seek, Read, Write, Consume); the memory behind
// Data() may be written by several threads at once at disjoint offsets. The only callback is the
// DataProcessor of Process, run on the calling thread.
#pragma once

#include <cstdint>
#include <functional>

#include "file/BoundedFileData.hpp"

namespace halcyne {

// Runs over the bytes of a view in place: a read-only pointer and the length.
//
// The processor runs under the view's fault guard: a fault in the mapped memory (the file was truncated,
// the disk failed) leaves it by a jump, without unwinding. It must therefore hold no object that needs its
// destructor to run (no strings, containers, locks or smart pointers of its own) while it touches the
// bytes. Exceptions it throws propagate to the caller of Process unchanged.
using DataProcessor = std::function<void(const std::uint8_t* data, std::uint32_t length)>;

class MemoryMappedFileData : public BoundedFileData {
public:
    using BoundedFileData::BoundedFileData;

    // Pointer to the byte at the position, then the position advances by `count`; null when `count` is 0.
    // [position, position + count - 1] must pass the range check.
    virtual std::uint8_t* Consume(std::uint32_t count) = 0;
    // Pointer to the byte at LowerBound.
    virtual std::uint8_t* Data() = 0;
    // Calls `processor` once with Data() and the length of the whole range. A fault inside the view
    // becomes FileInvalidMapException.
    virtual void Process(const DataProcessor& processor) = 0;
    // Makes every page of the range resident before it is read or written. A fault inside the view
    // becomes FileInvalidMapException.
    virtual void Fetch() = 0;
};

}  // namespace halcyne
