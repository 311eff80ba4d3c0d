// Writes a response body into bounded file data (in practice a chunk's mapped view) at its current position.
// The request calls Write on the thread that runs Perform, one block at a time; the writer touches only its
// file data, which that thread alone uses during the request. Nothing is called back.
#pragma once

#include <memory>

#include "http/HttpWriteCallback.hpp"

namespace halcyne {

class BoundedFileData;

class HttpBoundedFileDataWriter : public HttpWriteCallback {
public:
    explicit HttpBoundedFileDataWriter(std::shared_ptr<BoundedFileData> fileData);
    ~HttpBoundedFileDataWriter() override;

    // Success with the length when the whole block was written; WriteFailed with the count when fewer
    // bytes were taken. A block that would cross the bounds is refused whole (OutOfRange, 0 bytes, nothing
    // written), std::bad_alloc is OutOfMemory and any other exception (a fault in the mapped view)
    // WriteFailed, each with 0 bytes.
    HttpRequestStatus Write(const char* data, std::size_t length) override;

private:
    const std::shared_ptr<BoundedFileData> fileData_;
};

}  // namespace halcyne
