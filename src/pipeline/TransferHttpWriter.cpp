#include "pipeline/TransferHttpWriter.hpp"

#include "file/MemoryMappedFileData.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedMapData.hpp"

namespace halcyne {

TransferHttpWriter::TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunkData)
    : HttpBoundedFileDataWriter(chunkData ? chunkData->view : nullptr), chunkData_(std::move(chunkData)) {}

TransferHttpWriter::~TransferHttpWriter() = default;

HttpRequestStatus TransferHttpWriter::Write(const char* data, std::size_t length) {
    HttpRequestStatus status = HttpBoundedFileDataWriter::Write(data, length);
    const std::uint64_t written = status.bytesWritten;
    if (!chunkData_) {
        return status;
    }
    if (written != 0) {
        chunkData_->fileProgressBytes += written;
        if (chunkData_->progressUpdater) {
            chunkData_->progressUpdater->AddProgress(written);
        }
    }
    // Every byte that arrived counts as transferred, also those of a block that was refused (it crossed
    // the chunk's end or could not be written): they crossed the network all the same.
    if (length != 0 && chunkData_->progressUpdater) {
        chunkData_->progressUpdater->AddTransferred(length);
    }
    return status;
}

}  // namespace halcyne
