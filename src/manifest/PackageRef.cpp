#include "manifest/PackageRef.hpp"

#include "common/Uri.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"

namespace halcyne {

bool IsPathSegmentId(std::string_view id) {
    if (id.empty() || id == "." || id == "..") {
        return false;
    }
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string PathSegment(std::string_view id) {
    if (!IsPathSegmentId(id)) {
        throw ManifestLocatorException("an id is empty, \".\", \"..\" or holds a control character");
    }
    // A URL path's encoding with '/' added to what it encodes: an ordinary id comes out exactly as it is
    // written in a URL's path.
    std::string segment;
    UriEncode(id, "?#/", segment);
    return segment;
}

std::string DecodePathSegment(std::string_view segment) {
    std::string decoded;
    decoded.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] == '%' && i + 2 < segment.size() && HexValue(segment[i + 1]) >= 0 &&
            HexValue(segment[i + 2]) >= 0) {
            decoded.push_back(static_cast<char>(HexValue(segment[i + 1]) * 16 + HexValue(segment[i + 2])));
            i += 2;
        } else {
            decoded.push_back(segment[i]);
        }
    }
    return decoded;
}

std::string MakePackageRef(const std::string& packageId, const std::string& versionId) {
    const std::string package = PathSegment(packageId);
    return versionId.empty() ? package : package + "/" + PathSegment(versionId);
}

std::pair<std::string, std::string> SplitPackageRef(const std::string& ref) {
    const std::size_t slash = ref.find('/');
    if (slash == std::string::npos) {
        return {DecodePathSegment(ref), std::string()};
    }
    return {DecodePathSegment(std::string_view(ref).substr(0, slash)),
            DecodePathSegment(std::string_view(ref).substr(slash + 1))};
}

}  // namespace halcyne
