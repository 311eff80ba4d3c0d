// Reading what is already on disk: chunk checks and the file hash read a file's bytes in order with pread
// into a buffer that each worker thread keeps (made on its first read, ReadBlockSize bytes, and reused for
// every read after), never through a mapping, so that no read costs fresh pages. Runs on the calling thread;
// nothing is called back but the consumer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "common/Sha256.hpp"

namespace halcyne {

class SharedFile;

inline constexpr std::size_t ReadBlockSize = 256 * 1024;

// Passes bytes [offset, offset + length) of `file` to `consume`, in order, in blocks of `blockSize` bytes
// (at most ReadBlockSize; 0 means ReadBlockSize). Stops early when the file ends (the last block is short
// then) or when `stop` answers true before a block. Returns the number of bytes passed, or nullopt when
// stopped. The FileException family when a read fails.
std::optional<std::uint64_t> ReadFileRange(
    SharedFile& file, std::uint64_t offset, std::uint64_t length,
    const std::function<void(const std::uint8_t*, std::size_t)>& consume,
    const std::function<bool()>& stop = {}, std::size_t blockSize = ReadBlockSize);

// The SHA-256 of `length` zero bytes.
Sha256::Digest Sha256OfZeros(std::uint64_t length);

}  // namespace halcyne
