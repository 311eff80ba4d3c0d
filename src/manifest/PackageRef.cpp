#include "manifest/PackageRef.hpp"

namespace halcyne {

std::string MakePackageRef(const std::string& packageId, const std::string& versionId) {
    return versionId.empty() ? packageId : packageId + "/" + versionId;
}

std::pair<std::string, std::string> SplitPackageRef(const std::string& ref) {
    const std::size_t slash = ref.find('/');
    if (slash == std::string::npos) {
        return {ref, std::string()};
    }
    return {ref.substr(0, slash), ref.substr(slash + 1)};
}

}  // namespace halcyne
