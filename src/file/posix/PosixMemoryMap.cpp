#include "file/posix/PosixMemoryMap.hpp"

#include <unistd.h>

namespace halcyne {

namespace {

std::uint64_t PageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096u;
}

}  // namespace

PosixMemoryMap::PosixMemoryMap(int descriptor, std::string path)
    : descriptor_(descriptor), path_(std::move(path)), pageSize_(PageSize()) {}

std::shared_ptr<PosixMemoryMapView> PosixMemoryMap::MapView(std::uint64_t lower, std::uint64_t upper,
                                                            bool freshlyAllocated) const {
    return std::make_shared<PosixMemoryMapView>(descriptor_, path_, lower, upper, pageSize_,
                                                freshlyAllocated);
}

}  // namespace halcyne
