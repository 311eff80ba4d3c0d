#include "pipeline/TransferHttpWriter.hpp"

#include <new>

#include "file/FileException.hpp"
#include "pipeline/TransferProgressUpdater.hpp"
#include "pipeline/TransferSharedMapData.hpp"

namespace halcyne {

TransferHttpWriter::TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunkData)
    : chunkData_(std::move(chunkData)) {}

TransferHttpWriter::~TransferHttpWriter() = default;

HttpRequestStatus TransferHttpWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return HttpRequestStatus::Written(0);
    }
    if (!chunkData_) {
        return HttpRequestStatus::Failed(HttpRequestResult::WriteFailed);
    }
    HttpRequestStatus status = HttpRequestStatus::Written(length);
    try {
        chunkData_->WriteNext(data, length);
    } catch (const FileOutOfBoundsException&) {
        status = HttpRequestStatus::Failed(HttpRequestResult::OutOfRange);
    } catch (const std::bad_alloc&) {
        status = HttpRequestStatus::Failed(HttpRequestResult::OutOfMemory);
    } catch (...) {
        status = HttpRequestStatus::Failed(HttpRequestResult::WriteFailed);
    }
    if (const std::uint64_t written = status.bytesWritten; written != 0) {
        chunkData_->fileProgressBytes += written;
        if (chunkData_->progressUpdater) {
            chunkData_->progressUpdater->AddProgress(written);
        }
    }
    if (chunkData_->progressUpdater) {
        chunkData_->progressUpdater->AddTransferred(length);
    }
    return status;
}

}  // namespace halcyne
