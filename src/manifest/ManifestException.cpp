#include "manifest/ManifestException.hpp"

namespace halcyne {

ManifestException::ManifestException() : std::runtime_error(std::string()) {}

ManifestException::ManifestException(const std::string& message) : std::runtime_error(message) {}

ManifestException::~ManifestException() = default;

}  // namespace halcyne
