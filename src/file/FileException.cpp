#include "file/FileException.hpp"

namespace halcyne {

FileException::FileException(const char* name, std::string detail) : name_(name) {
    if (!detail.empty()) {
        detail_ = std::make_shared<const std::string>(std::move(detail));
    }
}

const char* FileException::what() const noexcept {
    return detail_ ? detail_->c_str() : name_;
}

}  // namespace halcyne
