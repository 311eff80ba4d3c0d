#include "pipeline/HttpBoundedFileDataWriter.hpp"

#include <limits>
#include <new>

#include "file/BoundedFileData.hpp"
#include "file/FileException.hpp"

namespace halcyne {

HttpBoundedFileDataWriter::HttpBoundedFileDataWriter(std::shared_ptr<BoundedFileData> fileData)
    : fileData_(std::move(fileData)) {}

HttpBoundedFileDataWriter::~HttpBoundedFileDataWriter() = default;

HttpRequestStatus HttpBoundedFileDataWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return HttpRequestStatus::Written(0);
    }
    try {
        // A block longer than one file write can take is more than any chunk holds: it cannot fit.
        if (!fileData_ || length > std::numeric_limits<std::uint32_t>::max()) {
            return HttpRequestStatus::Failed(length > std::numeric_limits<std::uint32_t>::max()
                                                 ? HttpRequestResult::OutOfRange
                                                 : HttpRequestResult::WriteFailed);
        }
        const std::uint32_t written = fileData_->Write(data, static_cast<std::uint32_t>(length));
        if (written == length) {
            return HttpRequestStatus::Written(written);
        }
        return HttpRequestStatus::Failed(HttpRequestResult::WriteFailed, written);
    } catch (const FileOutOfBoundsException&) {
        return HttpRequestStatus::Failed(HttpRequestResult::OutOfRange);
    } catch (const std::bad_alloc&) {
        return HttpRequestStatus::Failed(HttpRequestResult::OutOfMemory);
    } catch (...) {
        return HttpRequestStatus::Failed(HttpRequestResult::WriteFailed);
    }
}

}  // namespace halcyne
