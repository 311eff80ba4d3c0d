#include "pipeline/FileReading.hpp"

#include <algorithm>
#include <memory>

#include "file/SharedFile.hpp"

namespace halcyne {

namespace {

std::uint8_t* ThreadReadBuffer() {
    thread_local std::unique_ptr<std::uint8_t[]> buffer;
    if (!buffer) {
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(ReadBlockSize);
    }
    return buffer.get();
}

}  // namespace

std::optional<std::uint64_t> ReadFileRange(
    SharedFile& file, std::uint64_t offset, std::uint64_t length,
    const std::function<void(const std::uint8_t*, std::size_t)>& consume, const std::function<bool()>& stop,
    std::size_t blockSize) {
    std::uint8_t* const buffer = ThreadReadBuffer();
    const std::size_t block = blockSize == 0 ? ReadBlockSize : std::min(blockSize, ReadBlockSize);
    std::uint64_t done = 0;
    while (done < length) {
        if (stop && stop()) {
            return std::nullopt;
        }
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, block));
        const std::size_t got = file.ReadAt(offset + done, buffer, step);
        if (got != 0) {
            consume(buffer, got);
        }
        done += got;
        if (got < step) {
            break;  // the file ends here
        }
    }
    return done;
}

Sha256::Digest Sha256OfZeros(std::uint64_t length) {
    static const std::uint8_t zeros[16384] = {};
    Sha256 hash;
    for (std::uint64_t left = length; left != 0;) {
        const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof zeros));
        hash.Update(zeros, step);
        left -= step;
    }
    return hash.Final();
}

}  // namespace halcyne
