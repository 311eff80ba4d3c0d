// Writes a chunk's response body into the chunk's view and counts it: every written byte into the chunk's
// fileProgressBytes and the transfer's progress, every received byte into the transfer's transferred bytes.
// Called like its base, on the thread that runs the request; the progress updater guards itself.
#pragma once

#include <memory>

#include "pipeline/HttpBoundedFileDataWriter.hpp"

namespace halcyne {

class TransferSharedMapData;

class TransferHttpWriter : public HttpBoundedFileDataWriter {
public:
    // Writes into the chunk's view as it is now (the view must be mapped).
    explicit TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunkData);
    ~TransferHttpWriter() override;

    // The base's Write; the bytes it wrote count as progress, all `length` bytes as transferred.
    HttpRequestStatus Write(const char* data, std::size_t length) override;

private:
    const std::shared_ptr<TransferSharedMapData> chunkData_;
};

}  // namespace halcyne
