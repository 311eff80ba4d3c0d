#include "manifest/PackageManifest.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "file/SharedFileFactory.hpp"
#include "manifest/ManifestException.hpp"

namespace halcyne {

const std::string& FileManifest::GetSha256() const {
    static const std::string none;
    return none;
}

const std::vector<Sha256::Digest>& FileManifest::GetChunkSha256() const {
    static const std::vector<Sha256::Digest> none;
    return none;
}

std::uint64_t PackageManifest::GetTotalSize() const {
    std::uint64_t total = 0;
    for (const auto& file : GetFiles()) {
        total += file->GetSize();
    }
    return total;
}

bool FileManifest::IsMarkedExecutable() const {
    return false;
}

bool PackageManifest::MarksExecutables() const {
    for (const auto& file : GetFiles()) {
        if (file->IsMarkedExecutable()) {
            return true;
        }
    }
    return false;
}

const DocumentStamp& PackageManifest::GetStamp() const {
    static const DocumentStamp none;
    return none;
}

bool IsExecutableFile(const PackageManifest& package, const FileManifest& file, SharedFileFactory& factory) {
    if (!package.GetRun().empty() && file.GetPath() == package.GetRun()) {
        return true;
    }
    if (package.MarksExecutables()) {
        return file.IsMarkedExecutable();
    }
    return factory.IsExecutable(std::string(), file.GetPath());
}

std::uint32_t ChunkCount(std::uint32_t chunkSize, std::uint64_t size) {
    if (chunkSize == 0) {
        return 0;
    }
    constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
    if (size > max64 - (chunkSize - 1u)) {
        throw ManifestOverflowException();
    }
    const std::uint64_t count = (size + chunkSize - 1u) / chunkSize;
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        throw ManifestOverflowException();
    }
    return static_cast<std::uint32_t>(count);
}

ChunkRange GetChunkRange(std::uint32_t chunkSize, std::uint64_t size, std::uint32_t index) {
    if (chunkSize == 0) {
        throw std::out_of_range("GetChunkRange called with chunk size 0");
    }
    // index < 2^32 and chunkSize < 2^32, so the start fits in 64 bits.
    const std::uint64_t start = static_cast<std::uint64_t>(index) * chunkSize;
    if (start >= size) {
        throw std::out_of_range("GetChunkRange called with a chunk past the end of the file");
    }
    const std::uint64_t length = std::min<std::uint64_t>(chunkSize, size - start);
    return ChunkRange{start, start + length - 1};
}

}  // namespace halcyne
