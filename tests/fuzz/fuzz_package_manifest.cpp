// Package manifest documents as the manifest sources read them: any input either loads into a manifest
// that keeps the loader's promises or fails with ManifestParseException. Anything else escaping, a crash,
// a hang or a leak is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree.hpp>

#include "StampCheck.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/StandardPackageManifest.hpp"
#include "manifest/XmlManifestReader.hpp"

using namespace halcyne;

namespace {

// Inside the destination folder: no empty, "." or ".." segment and no backslash.
bool StaysInside(std::string_view path) {
    if (path.empty() || path.find('\\') != std::string_view::npos) {
        return false;
    }
    while (true) {
        const auto slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(slash + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    boost::property_tree::ptree tree;
    StandardPackageManifest manifest;
    try {
        ReadManifestXml(text, tree);
        manifest.Load(tree);
    } catch (const ManifestParseException&) {
        return 0;
    }
    if (manifest.GetId().empty() || manifest.GetName().empty() || manifest.GetPartnerId().empty() ||
        manifest.GetVersionId().empty()) {
        std::abort();
    }
    std::set<std::string_view> paths;
    std::uint64_t total = 0;
    bool marked = false;
    for (const auto& file : manifest.GetFiles()) {
        const std::string_view path = RelativeFilePath(file->GetPath());
        if (!StaysInside(path) || !paths.insert(path).second) {
            std::abort();
        }
        if (file->GetSize() == 0 || file->GetChunkSize() == 0 ||
            file->GetChecksums().size() != ChunkCount(file->GetChunkSize(), file->GetSize())) {
            std::abort();
        }
        // Chunk digests are absent or one per chunk.
        const std::size_t digests = file->GetChunkSha256().size();
        if (digests != 0 && digests != file->GetChecksums().size()) {
            std::abort();
        }
        // A digest is absent or exactly 64 lower-case hexadecimal digits.
        const std::string& sha256 = file->GetSha256();
        if (!sha256.empty() &&
            (sha256.size() != 64 || sha256.find_first_not_of("0123456789abcdef") != std::string::npos)) {
            std::abort();
        }
        // No segment ends with the staged-file suffix.
        for (std::string_view rest = path;;) {
            const auto slash = rest.find('/');
            if (rest.substr(0, slash).ends_with(StagedFileSuffix)) {
                std::abort();
            }
            if (slash == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(slash + 1);
        }
        marked = marked || file->IsMarkedExecutable();
        total += file->GetSize();
    }
    fuzz::CheckStamp(manifest.GetStamp());
    if (manifest.GetStamp().owner != manifest.GetId()) {
        std::abort();
    }
    if (marked != manifest.MarksExecutables()) {
        std::abort();
    }
    if (total != manifest.GetTotalSize() ||
        manifest.GetRunFiles().size() + manifest.GetOtherFiles().size() != manifest.GetFiles().size() ||
        (manifest.GetRun().empty() != (manifest.GetRunFile() == nullptr))) {
        std::abort();
    }
    return 0;
}
