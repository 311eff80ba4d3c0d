// The mapping side of one open PosixSharedFile: it knows the file's descriptor and the mapping granularity
// and makes the views. Created on the file's first Map and held by the file for the rest of its life; the
// views it makes do not need it (or the descriptor) once they exist.
//
// Safe to use from many threads at once (it has no mutable state); nothing is called back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "file/posix/PosixMemoryMapView.hpp"

namespace halcyne {

class PosixMemoryMap {
public:
    // `descriptor` stays owned by the file, which outlives this object.
    PosixMemoryMap(int descriptor, std::string path);
    PosixMemoryMap(const PosixMemoryMap&) = delete;
    PosixMemoryMap& operator=(const PosixMemoryMap&) = delete;

    // A view of [lower, upper]; see PosixMemoryMapView.
    std::shared_ptr<PosixMemoryMapView> MapView(std::uint64_t lower, std::uint64_t upper,
                                                bool freshlyAllocated) const;
    // The mapping granularity: the page size.
    std::uint64_t Granularity() const { return pageSize_; }

private:
    const int descriptor_;
    const std::string path_;
    const std::uint64_t pageSize_;
};

}  // namespace halcyne
