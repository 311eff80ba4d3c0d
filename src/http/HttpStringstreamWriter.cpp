#include "http/HttpStringstreamWriter.hpp"

namespace halcyne {

HttpRequestStatus HttpStringstreamWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return HttpRequestStatus::Written(0);
    }
    stream_->write(data, static_cast<std::streamsize>(length));
    if (!stream_->good()) {
        return HttpRequestStatus::Failed(HttpRequestResult::WriteFailed);
    }
    return HttpRequestStatus::Written(length);
}

}  // namespace halcyne
