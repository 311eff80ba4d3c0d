// Writes a chunk's response body into the chunk's file at the chunk's write position, with the chunk's
// CRC-32 (and SHA-256) computed over the same bytes as they pass, and counts it: every written byte into the
// chunk's fileProgressBytes and the transfer's progress, every received byte into the transfer's transferred
// bytes. Called on the thread that runs the request, which alone uses the chunk record meanwhile; the
// progress updater guards itself.
#pragma once

#include <memory>

#include "http/HttpWriteCallback.hpp"

namespace halcyne {

class TransferSharedMapData;

class TransferHttpWriter : public HttpWriteCallback {
public:
    explicit TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunkData);
    ~TransferHttpWriter() override;

    // Success with the length when the whole block was written. A block that would cross the chunk's end is
    // refused whole (OutOfRange, 0 bytes, nothing written); a block the file refuses (it was made shorter,
    // the disk failed, there is no file) is WriteFailed and std::bad_alloc OutOfMemory, each with 0 bytes.
    // The bytes written count as progress, all `length` bytes as transferred (also those of a refused block:
    // they crossed the network all the same).
    HttpRequestStatus Write(const char* data, std::size_t length) override;

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

}  // namespace halcyne
