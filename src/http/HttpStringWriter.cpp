#include "http/HttpStringWriter.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

namespace halcyne {

HttpRequestStatus HttpStringWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return HttpRequestStatus::Written(0);
    }
    const std::uint64_t total = std::uint64_t{into_->size()} + length;
    if (maxBytes_ > 0 && total > maxBytes_) {
        exceeded_ = true;
        return HttpRequestStatus::Failed(HttpRequestResult::TooLarge, 0,
                                         "the body is larger than " + std::to_string(maxBytes_) + " bytes");
    }
    try {
        if (total > into_->capacity()) {
            std::uint64_t grown = std::max<std::uint64_t>(total, std::uint64_t{into_->capacity()} * 2);
            if (maxBytes_ > 0) {
                grown = std::min(grown, maxBytes_);
            }
            // reserve on a string that holds text may round up to twice its capacity, past the limit: move
            // the text into a fresh buffer of exactly the size wanted instead.
            std::string larger;
            larger.reserve(static_cast<std::size_t>(grown));
            larger.append(*into_);
            into_->swap(larger);
        }
        into_->append(data, length);
    } catch (const std::bad_alloc&) {
        return HttpRequestStatus::Failed(HttpRequestResult::OutOfMemory);
    } catch (const std::length_error&) {
        return HttpRequestStatus::Failed(HttpRequestResult::OutOfMemory);
    }
    return HttpRequestStatus::Written(length);
}

}  // namespace halcyne
